// The floor of the whole-process benchmarks: a minimal program linking the same libraries as the
// companion. Started with a reply size, it answers every line it reads with one line of that many
// bytes; that is a raw two-process pipe ping-pong, a start-up floor and a memory floor at once.
// Started with "sign" after the size, it also makes one RSA-2048 signature per line first: a bare
// signer behind the same pipes. Started with "sign-stored" and a file of a key's PKCS #1 DER, it
// signs each line's SHA-256 digest with that key: what any program using the crypto library
// spends on its first signature in a new process.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "rsa_signer.hpp"

#ifdef KTARN_WITH_X11
#include <X11/Xauth.h>
#include <xcb/xcb.h>
#endif

namespace {

bool write_all(const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(1, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Keeps the libraries loaded even where the linker drops unreferenced ones.
void touch_libraries() {
  volatile auto ssl = OpenSSL_version_num();
  volatile auto sql = sqlite3_libversion_number();
  (void)ssl;
  (void)sql;
#ifdef KTARN_WITH_X11
  volatile auto open = &xcb_connect_to_fd;
  volatile auto cookie = &XauGetBestAuthByAddr;
  (void)open;
  (void)cookie;
#endif
}

// The key in a file of PKCS #1 DER, through the crypto library's decoder.
EVP_PKEY* stored_key(const char* path) {
  std::ifstream file(path, std::ios::binary);
  const std::vector<unsigned char> der((std::istreambuf_iterator<char>(file)),
                                       std::istreambuf_iterator<char>());
  const unsigned char* cursor = der.data();
  return d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &cursor, static_cast<long>(der.size()));
}

}  // namespace

int main(int argc, char** argv) {
  touch_libraries();
  std::size_t reply_size = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1;
  const bool signs = argc > 2 && std::strcmp(argv[2], "sign") == 0;
  const bool signs_stored = argc > 3 && std::strcmp(argv[2], "sign-stored") == 0;
  std::unique_ptr<ktarn::bench::RsaSigner> signer =
      signs ? std::make_unique<ktarn::bench::RsaSigner>() : nullptr;
  // Made on the first line, as the companion decodes its key for its first request.
  std::unique_ptr<ktarn::bench::RsaSigner> stored_signer;
  std::string reply(reply_size > 0 ? reply_size - 1 : 0, 'x');
  reply.push_back('\n');
  char buffer[8192];
  std::size_t pending_lines = 0;
  for (;;) {
    ssize_t n = read(0, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    for (ssize_t i = 0; i < n; ++i) pending_lines += buffer[i] == '\n';
    for (; pending_lines > 0; --pending_lines) {
      if (signer) signer->sign();
      if (signs_stored) {
        if (!stored_signer) {
          stored_signer = std::make_unique<ktarn::bench::RsaSigner>(stored_key(argv[3]));
        }
        unsigned char digest[32];
        unsigned int length = 0;
        EVP_Digest(buffer, static_cast<std::size_t>(n), digest, &length, EVP_sha256(), nullptr);
        stored_signer->sign(digest);
      }
      if (!write_all(reply)) return 0;
    }
  }
}
