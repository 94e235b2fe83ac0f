#include "core/cleanup/sha256.hpp"

#include <openssl/evp.h>

#include <memory>
#include <vector>

#include "platform/io.hpp"
#include "platform/os_error.hpp"

namespace bramvelt::cleanup {
namespace {

struct ContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

}  // namespace

std::string hex_lower(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const char byte : bytes) {
        const auto value = static_cast<unsigned char>(byte);
        text.push_back(kDigits[value >> 4]);
        text.push_back(kDigits[value & 0x0f]);
    }
    return text;
}

std::expected<FileDigest, std::string> hash_file_sha256(int fd, const CancelFlag& cancel) {
    std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        return std::unexpected(std::string("SHA-256 is unavailable"));
    }
    std::vector<char> buffer(kHashChunk, '\0');
    std::uint64_t total = 0;
    for (;;) {
        if (is_cancelled(cancel)) return std::unexpected(std::string(kBackupVerificationCancelled));
        auto got = platform::read_some(fd, buffer);
        if (!got) return std::unexpected(platform::os_error_text(got.error()));
        if (*got == 0) break;
        if (EVP_DigestUpdate(context.get(), buffer.data(), *got) != 1) {
            return std::unexpected(std::string("SHA-256 is unavailable"));
        }
        if (total > UINT64_MAX - *got) return std::unexpected(std::string(kBackupSizeOverflow));
        total += *got;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) {
        return std::unexpected(std::string("SHA-256 is unavailable"));
    }
    return FileDigest{hex_lower(std::string_view(reinterpret_cast<const char*>(digest), length)),
                      total};
}

}  // namespace bramvelt::cleanup
