// Data integrity: HMAC-SHA-512 over the encrypted package
// ([MS-OFFCRYPTO] 2.3.4.14).

#ifndef CELLVAULT_HELPER_CRYPT_INTEGRITY_H_
#define CELLVAULT_HELPER_CRYPT_INTEGRITY_H_

#include <initializer_list>
#include <span>
#include <string_view>

#include "common/bytes.h"
#include "common/error.h"
#include "common/secure.h"
#include "helper/crypt/ossl.h"

namespace cellvault {

// hmac returns HMAC-SHA-512 (RFC 2104) under |key| of the concatenation of
// |buffers| in list order. The buffers are read where they are: the
// message is never copied, so the HMAC over a whole package costs one
// SHA-512 pass and no memory. A key longer than the 128-byte block is
// hashed first. When |algorithm| is not exactly "SHA512" it returns the
// error text "algorithm <algorithm> not supported!".
TextResult<SecretBytes> hmac(std::string_view algorithm, ByteView key,
                             std::span<const ByteView> buffers);
TextResult<SecretBytes> hmac(std::string_view algorithm, ByteView key,
                             std::initializer_list<ByteView> buffers);

// Hmac computes the same HMAC-SHA-512 over a message handed over piece by
// piece, so that a package can be hashed as it is encrypted, while its
// ciphertext is still in the cache. The key block and the running state
// are wiped when the object is released.
class Hmac {
 public:
  // create starts the HMAC under |key|; an unsupported |algorithm| gives
  // the error text of hmac.
  static TextResult<Hmac> create(std::string_view algorithm, ByteView key);

  // update appends |data| to the message.
  void update(ByteView data);
  // finish returns the HMAC of everything given to update. The object is
  // spent afterwards: a further update or finish aborts the call.
  SecretBytes finish();

 private:
  Hmac(EvpMdCtx ctx, SecretBytes outer_pad)
      : ctx_(std::move(ctx)), outer_pad_(std::move(outer_pad)) {}

  EvpMdCtx ctx_;
  SecretBytes outer_pad_;
};

}  // namespace cellvault

#endif  // CELLVAULT_HELPER_CRYPT_INTEGRITY_H_
