// Owned OpenSSL handles.
//
// Every OpenSSL object that cellvault creates is held by one of these
// unique_ptr types, so it is freed on every way out of a function,
// including an abort that unwinds through it.

#ifndef CELLVAULT_HELPER_CRYPT_OSSL_H_
#define CELLVAULT_HELPER_CRYPT_OSSL_H_

#include <openssl/evp.h>

#include <memory>

namespace cellvault {

struct EvpMdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
struct EvpCipherCtxFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

// EVP_MD_CTX_free and EVP_CIPHER_CTX_free wipe the context's state (the
// running hash, the key schedule) before they release it.
using EvpMdCtx = std::unique_ptr<EVP_MD_CTX, EvpMdCtxFree>;
using EvpCipherCtx = std::unique_ptr<EVP_CIPHER_CTX, EvpCipherCtxFree>;

// new_md_ctx and new_cipher_ctx return a fresh context, or abort the call
// when OpenSSL cannot allocate one.
EvpMdCtx new_md_ctx();
EvpCipherCtx new_cipher_ctx();

// check_openssl aborts the call with a message naming |what| when |ok| is
// not 1, the success value of every OpenSSL call used here. OpenSSL fails
// these calls only when it runs out of memory or is misconfigured.
void check_openssl(int ok, const char* what);

}  // namespace cellvault

#endif  // CELLVAULT_HELPER_CRYPT_OSSL_H_
