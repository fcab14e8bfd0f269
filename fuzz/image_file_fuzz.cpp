// lumo-flash's --image: any file's content, read and checked as the command line does before
// anything is sent. A file is taken exactly when it holds 1 to kMaxImageLength bytes; then its
// bytes are the file's, its digest is 64 lowercase hex digits and it is a stand-in exactly when
// that digest is a stand-in's.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/image_file.h"
#include "fuzz/fuzz_check.h"

using lumo::fuzz::Require;

namespace {

// One file for the whole run, written anew for each input.
const std::string& ScratchFile() {
    static const std::string path = [] {
        const char* dir = std::getenv("TMPDIR");
        std::string p = std::string(dir && *dir ? dir : "/tmp") + "/lumo-image-fuzz-XXXXXX";
        const int fd = mkstemp(p.data());
        Require(fd >= 0, "no scratch file");
        close(fd);
        return p;
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& path = ScratchFile();
    std::FILE* f = std::fopen(path.c_str(), "wb");
    Require(f != nullptr, "cannot write the scratch file");
    if (size > 0) std::fwrite(data, 1, size, f);
    std::fclose(f);

    const lumo::cli::ImageFile image = lumo::cli::ReadImageFile(path);
    const bool fits = size >= 1 && size <= lumo::cli::kMaxImageLength;
    Require(image.error.empty() == fits, "a file taken or refused against its size");
    if (!fits) {
        Require(image.bytes.empty(), "a refused file kept its bytes");
        return 0;
    }
    Require(image.bytes.size() == size &&
                std::equal(image.bytes.begin(), image.bytes.end(), data),
            "the bytes read are not the file's");
    Require(image.sha256.size() == 64 &&
                image.sha256.find_first_not_of("0123456789abcdef") == std::string::npos,
            "a digest that is not 64 lowercase hex digits");
    Require(image.stand_in == lumo::cli::IsStandInDigest(image.sha256),
            "a stand-in told otherwise than by its digest");
    return 0;
}
