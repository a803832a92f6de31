#include "runtime/creation_rules.h"

#include "runtime/text.h"

#include <cerrno>
#include <cstring>

namespace tw {

namespace {

bool fat_label_valid(std::string_view label) {
    if (label.empty() || label.size() > kCreationFatLabelMax)
        return false;
    for (char c : label)
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == ' '))
            return false;
    return true;
}

bool ntfs_label_valid(std::string_view label) {
    if (label.empty() || !utf8_is_valid(label.data(), label.size()))
        return false;
    size_t units = 0;
    const auto *p = reinterpret_cast<const unsigned char *>(label.data());
    for (size_t i = 0; i < label.size();) {
        const size_t n = utf8_sequence_length(p + i, label.size() - i);
        if (n == 0)
            return false;
        units += n == 4 ? 2 : 1; // beyond U+FFFF: a surrogate pair
        if (n == 1 && (p[i] < 32 || p[i] == 127 || strchr("\\/:*?\"<>|", p[i])))
            return false;
        i += n;
    }
    return units <= kCreationNtfsLabelUnits;
}

} // namespace

bool creation_filesystem_known(std::string_view filesystem) {
    return filesystem == "fat32" || filesystem == "exfat" || filesystem == "ntfs";
}

int creation_size_check(uint64_t bytes, std::string_view filesystem, const char **message) {
    *message = nullptr;
    if (bytes == 0 || bytes % kCreationMiB != 0)
        return -EINVAL;
    if (!creation_filesystem_known(filesystem))
        return -EINVAL;
    if (filesystem == "fat32" && (bytes < kCreationFat32Min || bytes > kCreationFat32Max)) {
        *message = kTextCreationFat32Range;
        return -EINVAL;
    }
    if (bytes > kCreationSizeLimit)
        return -EFBIG;
    return 0;
}

bool creation_label_valid(std::string_view filesystem, std::string_view label) {
    if (label.empty() || label.front() == ' ' || label.back() == ' ')
        return false;
    return filesystem == "ntfs" ? ntfs_label_valid(label) : fat_label_valid(label);
}

} // namespace tw
