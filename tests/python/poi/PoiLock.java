// Locks a file with Apache POI's encryption, an independent writer of
// Agile and Standard files, for the reader's interoperability tests:
//
//   java -cp POI_JARS PoiLock.java agile|standard aes128|aes192|aes256 \
//       sha1|sha256|sha384|sha512 PASSWORD IN OUT

import java.io.FileOutputStream;
import java.io.OutputStream;
import java.nio.file.Files;
import java.nio.file.Path;

import org.apache.poi.poifs.crypt.CipherAlgorithm;
import org.apache.poi.poifs.crypt.EncryptionInfo;
import org.apache.poi.poifs.crypt.EncryptionMode;
import org.apache.poi.poifs.crypt.Encryptor;
import org.apache.poi.poifs.crypt.HashAlgorithm;
import org.apache.poi.poifs.filesystem.POIFSFileSystem;

public class PoiLock {
  public static void main(String[] args) throws Exception {
    EncryptionMode mode = EncryptionMode.valueOf(args[0]);
    CipherAlgorithm cipher = CipherAlgorithm.valueOf(args[1]);
    HashAlgorithm hash = HashAlgorithm.valueOf(args[2]);
    EncryptionInfo info = new EncryptionInfo(mode, cipher, hash, -1, -1, null);
    Encryptor encryptor = info.getEncryptor();
    encryptor.confirmPassword(args[3]);
    try (POIFSFileSystem fs = new POIFSFileSystem()) {
      try (OutputStream os = encryptor.getDataStream(fs)) {
        Files.copy(Path.of(args[4]), os);
      }
      try (FileOutputStream out = new FileOutputStream(args[5])) {
        fs.writeFilesystem(out);
      }
    }
  }
}
