#include "helper/crypt/ossl.h"

#include <openssl/err.h>

#include <string>

#include "common/abort.h"

namespace cellvault {

void check_openssl(int ok, const char* what) {
  if (ok == 1) return;
  std::string message = std::string(what) + " failed";
  unsigned long code = ERR_get_error();
  if (code != 0) {
    char text[256];
    ERR_error_string_n(code, text, sizeof(text));
    message += ": ";
    message += text;
  }
  ERR_clear_error();
  abort_call(std::move(message));
}

EvpMdCtx new_md_ctx() {
  EvpMdCtx ctx(EVP_MD_CTX_new());
  if (!ctx) check_openssl(0, "EVP_MD_CTX_new");
  return ctx;
}

EvpCipherCtx new_cipher_ctx() {
  EvpCipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx) check_openssl(0, "EVP_CIPHER_CTX_new");
  return ctx;
}

}  // namespace cellvault
