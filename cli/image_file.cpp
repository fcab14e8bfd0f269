#include "cli/image_file.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <system_error>

#include "cli/sha256.h"
#include "cli/stand_in_digests.h"

namespace lumo::cli {

namespace {

std::filesystem::path FromUtf8(const std::string& path) {
    return std::filesystem::path(std::u8string(path.begin(), path.end()));
}

}  // namespace

bool IsStandInDigest(const std::string& sha256) {
    for (std::string_view known : kStandInDigests)
        if (known == sha256) return true;
    return false;
}

ImageFile ReadImageFile(const std::string& path) {
    ImageFile image;
    const std::filesystem::path p = FromUtf8(path);
    std::error_code ec;
    if (std::filesystem::is_directory(p, ec)) {
        image.error = "cannot read the image file " + path + ": it is a folder";
        return image;
    }
    std::ifstream in(p, std::ios::binary);
    if (!in) {
        image.error = "cannot read the image file " + path + ": " + std::strerror(errno);
        return image;
    }
    // Read at most one byte past the limit: a huge file is refused without reading it all. In
    // pieces, so that a small file costs no more than its size.
    constexpr std::size_t kLimit = std::size_t{kMaxImageLength} + 1;
    std::array<char, 64 * 1024> piece;
    while (in && image.bytes.size() < kLimit) {
        in.read(piece.data(),
                static_cast<std::streamsize>(std::min(piece.size(), kLimit - image.bytes.size())));
        image.bytes.insert(image.bytes.end(), piece.data(), piece.data() + in.gcount());
    }
    if (in.bad()) {
        image.bytes.clear();
        image.error = "cannot read the image file " + path;
        return image;
    }
    if (image.bytes.empty()) {
        image.error = "the image file " + path + " is empty";
    } else if (image.bytes.size() > kMaxImageLength) {
        image.bytes.clear();
        image.error = "the image file " + path + " is longer than the device can take (" +
                      std::to_string(kMaxImageLength) + " bytes at most: 65536 blocks of 56)";
    } else {
        image.sha256 = Sha256Hex(image.bytes);
        image.stand_in = IsStandInDigest(image.sha256);
    }
    return image;
}

}  // namespace lumo::cli
