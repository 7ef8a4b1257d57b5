// Tests of the EncryptionInfo stream, the XML tag writer and Base64.
//
// The Base64 texts in the expected document were made with Python's
// base64.b64encode of the same input bytes; the rest of the document is
// written out by hand.

#include <gtest/gtest.h>

#include <string>

#include "crypto_test_util.h"
#include "helper/crypt/base64.h"
#include "helper/crypt/encryption_info.h"
#include "writer/driver.h"

namespace cellvault {
namespace {

using testing::hex;
using testing::view;

// run(a, n) is the n bytes a, a+1, ... (mod 256).
Bytes run(uint8_t a, size_t n) {
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(a + i);
  return out;
}

std::string as_text(ByteView b) { return std::string(b.begin(), b.end()); }

// params are the parameters that the driver writes, around |salt|.
CipherParams params(ByteView salt, std::string_view cipher = "AES") {
  return {.salt = salt,
          .block_size = 16,
          .key_bits = 256,
          .hash_size = 64,
          .cipher_algorithm = cipher,
          .cipher_chaining = "ChainingModeCBC",
          .hash_algorithm = "SHA512"};
}

Bytes build(ByteView key_data_salt, ByteView password_salt,
            std::string_view cipher = "AES", ByteView key_value = run(0xf0, 32)) {
  const Bytes hmac_key = run(0x10, 64), hmac_value = run(0x50, 64);
  const Bytes verifier_input = run(0xa0, 16), verifier_value = run(0xb0, 64);
  return build_encryption_info({
      .key_data = params(key_data_salt, cipher),
      .encrypted_hmac_key = hmac_key,
      .encrypted_hmac_value = hmac_value,
      .spin_count = 100000,
      .key_encryptor = params(password_salt),
      .encrypted_verifier_hash_input = verifier_input,
      .encrypted_verifier_hash_value = verifier_value,
      .encrypted_key_value = key_value,
  });
}

TEST(EncryptionInfoTest, ExactStreamForTheDriversValues) {
  const std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
      "<encryption xmlns=\"http://schemas.microsoft.com/office/2006/encryption\""
      " xmlns:p=\"http://schemas.microsoft.com/office/2006/keyEncryptor/password\""
      " xmlns:c=\"http://schemas.microsoft.com/office/2006/keyEncryptor/certificate\">"
      "<keyData saltSize=\"16\" blockSize=\"16\" keyBits=\"256\" hashSize=\"64\""
      " cipherAlgorithm=\"AES\" cipherChaining=\"ChainingModeCBC\""
      " hashAlgorithm=\"SHA512\" saltValue=\"AAECAwQFBgcICQoLDA0ODw==\"/>"
      "<dataIntegrity encryptedHmacKey=\"EBESExQVFhcYGRobHB0eHyAhIiMkJSYnKCkqKywt"
      "Li8wMTIzNDU2Nzg5Ojs8PT4/QEFCQ0RFRkdISUpLTE1OTw==\" encryptedHmacValue=\""
      "UFFSU1RVVldYWVpbXF1eX2BhYmNkZWZnaGlqa2xtbm9wcXJzdHV2d3h5ent8fX5/gIGCg4SF"
      "hoeIiYqLjI2Ojw==\"/>"
      "<keyEncryptors>"
      "<keyEncryptor uri=\"http://schemas.microsoft.com/office/2006/keyEncryptor/password\">"
      "<p:encryptedKey spinCount=\"100000\" saltSize=\"16\" blockSize=\"16\""
      " keyBits=\"256\" hashSize=\"64\" cipherAlgorithm=\"AES\""
      " cipherChaining=\"ChainingModeCBC\" hashAlgorithm=\"SHA512\""
      " saltValue=\"kJGSk5SVlpeYmZqbnJ2enw==\""
      " encryptedVerifierHashInput=\"oKGio6SlpqeoqaqrrK2urw==\""
      " encryptedVerifierHashValue=\"sLGys7S1tre4ubq7vL2+v8DBwsPExcbHyMnKy8zNzs/Q"
      "0dLT1NXW19jZ2tvc3d7f4OHi4+Tl5ufo6err7O3u7w==\""
      " encryptedKeyValue=\"8PHy8/T19vf4+fr7/P3+/wABAgMEBQYHCAkKCwwNDg8=\"/>"
      "</keyEncryptor></keyEncryptors></encryption>";
  ASSERT_EQ(xml.size(), 1281u);
  const Bytes stream = build(run(0, 16), run(0x90, 16));
  ASSERT_EQ(stream.size(), 1289u);
  EXPECT_EQ(hex(ByteView(stream).first(8)), "0400040040000000");
  EXPECT_EQ(as_text(ByteView(stream).subspan(8)), xml);
}

TEST(EncryptionInfoTest, SaltSizeFollowsTheBufferAndEmptyBuffersStayEmpty) {
  const std::string xml = as_text(build(run(0, 20), {}, "AES", {}));
  EXPECT_NE(xml.find("<keyData saltSize=\"20\""), std::string::npos);
  EXPECT_NE(xml.find("saltValue=\"AAECAwQFBgcICQoLDA0ODxAREhM=\""),
            std::string::npos);
  EXPECT_NE(xml.find("spinCount=\"100000\" saltSize=\"0\""), std::string::npos);
  EXPECT_NE(xml.find(" saltValue=\"\" "), std::string::npos);
  EXPECT_NE(xml.find(" encryptedKeyValue=\"\"/>"), std::string::npos);
}

TEST(EncryptionInfoTest, NamesAreEscaped) {
  const std::string xml =
      as_text(build(run(0, 16), run(0x90, 16), "A&\"<x>'"));
  EXPECT_NE(xml.find(" cipherAlgorithm=\"A&amp;&quot;&lt;x&gt;&apos;\" "),
            std::string::npos);
}

TEST(XmlWriterTest, TagsTextAndEscaping) {
  XmlWriter w;
  w.write_declaration("1.0", "UTF-8", "yes");
  w.write_text("\r\na&b<c>'d\"\xC3\xA9");
  write_start_tag(w, "r", {{"k", "v&\"'<>"}, {"k", "2"}}, false);
  write_start_tag(w, "e", {}, true);
  write_start_tag(w, "p:f", {{"a", ""}}, true);
  w.write_end_tag("r");
  EXPECT_EQ(as_text(w.buffer()),
            "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"
            "\r\na&amp;b&lt;c&gt;&apos;d&quot;\xC3\xA9"
            "<r k=\"v&amp;&quot;&apos;&lt;&gt;\" k=\"2\"><e/><p:f a=\"\"/></r>");
}

TEST(Base64Test, Rfc4648Vectors) {
  // RFC 4648 section 10, and a byte string with the high alphabet ("+/").
  EXPECT_EQ(base64_encode(view("")), "");
  EXPECT_EQ(base64_encode(view("f")), "Zg==");
  EXPECT_EQ(base64_encode(view("fo")), "Zm8=");
  EXPECT_EQ(base64_encode(view("foo")), "Zm9v");
  EXPECT_EQ(base64_encode(view("foob")), "Zm9vYg==");
  EXPECT_EQ(base64_encode(view("fooba")), "Zm9vYmE=");
  EXPECT_EQ(base64_encode(view("foobar")), "Zm9vYmFy");
  const Bytes high = {0xfb, 0xff, 0xbf};
  EXPECT_EQ(base64_encode(high), "+/+/");
}

}  // namespace
}  // namespace cellvault
