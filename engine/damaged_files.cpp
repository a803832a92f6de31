#include "engine/damaged_files.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

namespace tw {

namespace {

constexpr uint32_t kEndOfChain = 0x0FFFFFF8;
constexpr uint64_t kMaxTableBytes = 256u << 20;
constexpr int kMaxDepth = 64;
constexpr const char *kTableName = "(file allocation table)";

uint16_t le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool is_fat32_boot(const uint8_t *s) {
    return s[510] == 0x55 && s[511] == 0xAA && std::memcmp(s + 82, "FAT32   ", 8) == 0 &&
           le16(s + 11) >= 512 && le16(s + 11) <= 4096 && s[13] != 0 && le16(s + 14) != 0 &&
           s[16] != 0 && le32(s + 36) != 0;
}

void append_utf8(std::string *out, uint32_t c) {
    if (c < 0x80) {
        out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out->push_back(static_cast<char>(0xC0 | c >> 6));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xE0 | c >> 12));
        out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

class Walker {
  public:
    Walker(const ImageReader &image, const std::vector<ByteRange> &ranges,
           std::vector<std::vector<std::string>> *files)
        : image_(image), ranges_(ranges), files_(files) {}

    bool run() {
        uint8_t s[512];
        if (!read(s, 512, 0))
            return false;
        if (!is_fat32_boot(s)) {
            // The first FAT32 partition of an MBR.
            bool found = false;
            for (int i = 0; i < 4 && !found && s[510] == 0x55 && s[511] == 0xAA; ++i) {
                const uint8_t *e = s + 446 + 16 * i;
                if ((e[4] == 0x0B || e[4] == 0x0C) && le32(e + 8) != 0) {
                    base_ = uint64_t(le32(e + 8)) * 512;
                    found = true;
                }
            }
            if (!found || !read(s, 512, base_) || !is_fat32_boot(s))
                return false;
        }
        const uint64_t sector = le16(s + 11);
        cluster_ = sector * s[13];
        const uint64_t reserved = le16(s + 14) * sector;
        const uint64_t table = uint64_t(le32(s + 36)) * sector;
        data_ = base_ + reserved + table * s[16];
        uint64_t total = le16(s + 19) ? le16(s + 19) : le32(s + 32);
        clusters_ =
            total * sector > data_ - base_ ? (total * sector - (data_ - base_)) / cluster_ : 0;
        files_->assign(ranges_.size(), {});
        mark(base_, data_ - base_, kTableName);
        if (table > kMaxTableBytes || clusters_ == 0)
            return true;
        // The first table; what cannot be read counts as the end of a chain.
        table_.assign(table, 0);
        for (uint64_t at = 0; at < table; at += 4096)
            read(table_.data() + at, std::min<uint64_t>(4096, table - at), base_ + reserved + at);
        walk_directory(le32(s + 44), "/", 0);
        return true;
    }

  private:
    bool read(uint8_t *buffer, uint64_t length, uint64_t offset) {
        if (offset > image_.size || length > image_.size - offset)
            return false;
        return image_.read(image_.context, buffer, length, offset) == 0;
    }

    uint32_t next(uint32_t cluster) const {
        if (uint64_t(cluster) * 4 + 4 > table_.size())
            return kEndOfChain;
        return le32(table_.data() + 4 * uint64_t(cluster)) & 0x0FFFFFFF;
    }

    bool valid(uint32_t cluster) const { return cluster >= 2 && cluster - 2 < clusters_; }

    uint64_t cluster_offset(uint32_t cluster) const {
        return data_ + uint64_t(cluster - 2) * cluster_;
    }

    void mark(uint64_t first, uint64_t length, const std::string &name) {
        for (size_t i = 0; i < ranges_.size(); ++i) {
            const ByteRange &r = ranges_[i];
            if (first < r.first + r.length && r.first < first + length) {
                auto &list = (*files_)[i];
                if (std::find(list.begin(), list.end(), name) == list.end())
                    list.push_back(name);
            }
        }
    }

    // The clusters of a chain, marked under `name`; at most the volume's count.
    std::vector<uint32_t> chain(uint32_t first, const std::string &name) {
        std::vector<uint32_t> out;
        for (uint32_t c = first; valid(c) && out.size() < clusters_; c = next(c)) {
            out.push_back(c);
            mark(cluster_offset(c), cluster_, name);
        }
        return out;
    }

    void walk_directory(uint32_t first, const std::string &path, int depth) {
        if (depth > kMaxDepth || !visited_.insert(first).second)
            return;
        std::vector<uint8_t> entries(cluster_);
        std::u16string long_name;
        for (uint32_t c : chain(first, path)) {
            if (!read(entries.data(), cluster_, cluster_offset(c))) {
                long_name.clear();
                continue;
            }
            for (uint64_t at = 0; at + 32 <= cluster_; at += 32) {
                const uint8_t *e = entries.data() + at;
                if (e[0] == 0x00)
                    return;
                if (e[0] == 0xE5) {
                    long_name.clear();
                    continue;
                }
                if (e[11] == 0x0F) {
                    // Long-name pieces come last first; each holds 13 characters.
                    std::u16string piece;
                    for (int o : {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30}) {
                        char16_t ch = le16(e + o);
                        if (ch == 0 || ch == 0xFFFF)
                            break;
                        piece.push_back(ch);
                    }
                    long_name = (e[0] & 0x40) ? piece : piece + long_name;
                    continue;
                }
                std::string name = entry_name(e, long_name);
                long_name.clear();
                if ((e[11] & 0x08) || name == "." || name == "..")
                    continue;
                uint32_t cluster = uint32_t(le16(e + 20)) << 16 | le16(e + 26);
                if (e[11] & 0x10)
                    walk_directory(cluster, path + name + "/", depth + 1);
                else
                    chain(cluster, path + name);
            }
        }
    }

    static std::string entry_name(const uint8_t *e, const std::u16string &long_name) {
        std::string name;
        if (!long_name.empty()) {
            for (char16_t ch : long_name)
                append_utf8(&name, ch);
            return name;
        }
        std::string base(reinterpret_cast<const char *>(e), 8),
            ext(reinterpret_cast<const char *>(e + 8), 3);
        base.erase(base.find_last_not_of(' ') + 1);
        ext.erase(ext.find_last_not_of(' ') + 1);
        if (!base.empty() && base[0] == 0x05)
            base[0] = char(0xE5);
        return ext.empty() ? base : base + "." + ext;
    }

    const ImageReader &image_;
    const std::vector<ByteRange> &ranges_;
    std::vector<std::vector<std::string>> *files_;
    uint64_t base_ = 0, data_ = 0, cluster_ = 0, clusters_ = 0;
    std::vector<uint8_t> table_;
    std::set<uint32_t> visited_;
};

// exFAT: the allocation table and the cluster heap from the boot sector;
// each file is a set of entries (file, stream extension, name pieces), and a
// stream either follows the table or, marked as unfragmented, lies in one
// run of clusters.
class ExfatWalker {
  public:
    ExfatWalker(const ImageReader &image, const std::vector<ByteRange> &ranges,
                std::vector<std::vector<std::string>> *files)
        : image_(image), ranges_(ranges), files_(files) {}

    bool run() {
        uint8_t s[512];
        if (!read(s, 512, 0) || std::memcmp(s + 3, "EXFAT   ", 8) != 0 || s[510] != 0x55 ||
            s[511] != 0xAA || s[108] < 9 || s[108] > 12 || s[109] > 25 - s[108])
            return false;
        const uint64_t sector = uint64_t(1) << s[108];
        cluster_ = sector << s[109];
        const uint64_t table_offset = le32(s + 80) * sector;
        const uint64_t table_length = le32(s + 84) * sector;
        heap_ = le32(s + 88) * sector;
        clusters_ = le32(s + 92);
        files_->assign(ranges_.size(), {});
        mark(0, heap_, kTableName);
        if (table_length > kMaxTableBytes)
            return true;
        table_.assign(table_length, 0);
        for (uint64_t at = 0; at < table_length; at += 4096)
            read(table_.data() + at, std::min<uint64_t>(4096, table_length - at),
                 table_offset + at);
        walk_directory(le32(s + 96), 0, false, "/", 0);
        return true;
    }

  private:
    bool read(uint8_t *buffer, uint64_t length, uint64_t offset) {
        if (offset > image_.size || length > image_.size - offset)
            return false;
        return image_.read(image_.context, buffer, length, offset) == 0;
    }
    void mark(uint64_t first, uint64_t length, const std::string &name) {
        for (size_t i = 0; i < ranges_.size(); ++i) {
            const ByteRange &r = ranges_[i];
            if (first < r.first + r.length && r.first < first + length) {
                auto &list = (*files_)[i];
                if (std::find(list.begin(), list.end(), name) == list.end())
                    list.push_back(name);
            }
        }
    }
    bool valid(uint32_t c) const { return c >= 2 && c - 2 < clusters_; }
    uint64_t offset_of(uint32_t c) const { return heap_ + uint64_t(c - 2) * cluster_; }

    // The clusters of a stream of `length` bytes (0: follow the table to
    // its end), marked under `name`.
    std::vector<uint32_t> clusters(uint32_t first, uint64_t length, bool contiguous,
                                   const std::string &name) {
        std::vector<uint32_t> out;
        const uint64_t count = length ? (length + cluster_ - 1) / cluster_ : clusters_;
        for (uint32_t c = first; valid(c) && out.size() < count && out.size() < clusters_;) {
            out.push_back(c);
            mark(offset_of(c), cluster_, name);
            if (contiguous) {
                ++c;
            } else {
                uint64_t at = uint64_t(c) * 4;
                c = at + 4 <= table_.size() ? le32(table_.data() + at) : 0;
            }
        }
        return out;
    }

    void walk_directory(uint32_t first, uint64_t length, bool contiguous, const std::string &path,
                        int depth) {
        if (depth > kMaxDepth || !visited_.insert(first).second)
            return;
        std::vector<uint8_t> bytes;
        for (uint32_t c : clusters(first, length, contiguous, path)) {
            size_t at = bytes.size();
            bytes.resize(at + cluster_);
            if (!read(bytes.data() + at, cluster_, offset_of(c)))
                std::memset(bytes.data() + at, 0xFF, cluster_); // unreadable: no entries
        }
        for (size_t at = 0; at + 32 <= bytes.size(); at += 32) {
            const uint8_t *e = bytes.data() + at;
            if (e[0] == 0x00)
                return;
            if (e[0] != 0x85)
                continue;
            const size_t secondary = e[1];
            const bool directory = le16(e + 4) & 0x10;
            if (secondary < 2 || at + 32 * (secondary + 1) > bytes.size() || e[32] != 0xC0)
                continue;
            const uint8_t *stream = e + 32;
            std::string name;
            const size_t name_length = stream[3];
            size_t taken = 0;
            for (size_t k = 2; k <= secondary && taken < name_length; ++k) {
                const uint8_t *n = e + 32 * k;
                if (n[0] != 0xC1)
                    break;
                for (size_t j = 0; j < 15 && taken < name_length; ++j, ++taken)
                    append_utf8(&name, le16(n + 2 + 2 * j));
            }
            const uint32_t cluster = le32(stream + 20);
            const uint64_t size = uint64_t(le32(stream + 24)) | uint64_t(le32(stream + 28)) << 32;
            const bool unfragmented = stream[1] & 0x02;
            if (directory)
                walk_directory(cluster, size, unfragmented, path + name + "/", depth + 1);
            else if (size != 0)
                clusters(cluster, size, unfragmented, path + name);
            at += 32 * secondary;
        }
    }

    const ImageReader &image_;
    const std::vector<ByteRange> &ranges_;
    std::vector<std::vector<std::string>> *files_;
    uint64_t heap_ = 0, cluster_ = 0, clusters_ = 0;
    std::vector<uint8_t> table_;
    std::set<uint32_t> visited_;
};

// NTFS: the master file table from the boot sector, its own data runs from
// its first record, then every record in use: its file name (the long one
// where there are several) with its parent, and the runs of its unnamed data
// attribute. Paths are put together from the parents up to the root (5).
class NtfsWalker {
  public:
    NtfsWalker(const ImageReader &image, const std::vector<ByteRange> &ranges,
               std::vector<std::vector<std::string>> *files)
        : image_(image), ranges_(ranges), files_(files) {}

    bool run() {
        uint8_t s[512];
        if (!read(s, 512, 0) || std::memcmp(s + 3, "NTFS    ", 8) != 0 || s[510] != 0x55 ||
            s[511] != 0xAA)
            return false;
        const uint64_t sector = le16(s + 11);
        if (sector < 256 || sector > 4096 || s[13] == 0)
            return false;
        cluster_ = sector * (s[13] <= 0x80 ? s[13] : uint64_t(1) << (256 - s[13]));
        const int8_t per_record = static_cast<int8_t>(s[64]);
        record_ = per_record > 0 ? uint64_t(per_record) * cluster_ : uint64_t(1) << -per_record;
        if (record_ < 512 || record_ > 65536 || record_ % sector != 0)
            return false;
        sector_ = sector;
        const uint64_t mft = (uint64_t(le32(s + 48)) | uint64_t(le32(s + 52)) << 32) * cluster_;
        files_->assign(ranges_.size(), {});
        mark(0, sector, "(boot sector)");
        // Record 0 describes the table itself.
        std::vector<uint8_t> rec(record_);
        Record zero;
        if (!read(rec.data(), record_, mft) || !parse(rec.data(), &zero))
            return true;
        std::vector<std::pair<uint64_t, uint64_t>> table_runs = zero.runs;
        uint64_t index = 0;
        for (const auto &[lcn, count] : table_runs) {
            mark(lcn * cluster_, count * cluster_, "(master file table)");
            for (uint64_t at = 0; at + record_ <= count * cluster_ && index < kMaxRecords;
                 at += record_, ++index) {
                if (!read(rec.data(), record_, lcn * cluster_ + at))
                    continue;
                Record r;
                if (parse(rec.data(), &r))
                    records_[index] = std::move(r);
            }
        }
        for (const auto &[number, r] : records_) {
            if (number < 16 || r.runs.empty())
                continue; // the metadata files are named above where they matter
            std::string path = path_of(number, 0);
            if (path.empty())
                continue;
            for (const auto &[lcn, count] : r.runs)
                mark(lcn * cluster_, count * cluster_, path);
        }
        return true;
    }

  private:
    static constexpr uint64_t kMaxRecords = 1u << 22;
    static constexpr uint64_t kRoot = 5;

    struct Record {
        bool directory = false;
        uint64_t parent = 0;
        std::string name;
        int name_space = -1; // 1 Win32, 3 both: preferred over 2 (DOS) and 0 (POSIX)
        std::vector<std::pair<uint64_t, uint64_t>> runs; // (first cluster, clusters)
    };

    bool read(uint8_t *buffer, uint64_t length, uint64_t offset) {
        if (offset > image_.size || length > image_.size - offset)
            return false;
        return image_.read(image_.context, buffer, length, offset) == 0;
    }
    void mark(uint64_t first, uint64_t length, const std::string &name) {
        for (size_t i = 0; i < ranges_.size(); ++i) {
            const ByteRange &r = ranges_[i];
            if (first < r.first + r.length && r.first < first + length) {
                auto &list = (*files_)[i];
                if (std::find(list.begin(), list.end(), name) == list.end())
                    list.push_back(name);
            }
        }
    }

    // Applies the update sequence and reads the attributes of one record.
    bool parse(uint8_t *r, Record *out) {
        if (std::memcmp(r, "FILE", 4) != 0 || !(le16(r + 22) & 0x01))
            return false;
        const uint16_t usa = le16(r + 4), count = le16(r + 6);
        if (count == 0 || usa + 2u * count > record_ || (count - 1) * sector_ != record_)
            return false;
        for (uint16_t i = 1; i < count; ++i) {
            uint8_t *end = r + i * sector_ - 2;
            if (le16(end) != le16(r + usa))
                return false;
            std::memcpy(end, r + usa + 2 * i, 2);
        }
        out->directory = le16(r + 22) & 0x02;
        for (uint32_t at = le16(r + 20); at + 16 <= record_;) {
            const uint32_t type = le32(r + at), length = le32(r + at + 4);
            if (type == 0xFFFFFFFF || length < 16 || at + length > record_)
                break;
            const uint8_t *a = r + at;
            const bool resident = a[8] == 0;
            if (type == 0x30 && resident && le32(a + 16) >= 66) {
                const uint8_t *v = a + le16(a + 20);
                if (v + 66 <= r + at + length) {
                    int space = v[65];
                    bool better = out->name_space < 0 || space == 1 || space == 3 ||
                                  (out->name_space == 2 && space == 0);
                    if (better && v + 66 + 2 * v[64] <= r + at + length) {
                        out->parent = (uint64_t(le32(v)) | uint64_t(le16(v + 4)) << 32);
                        out->name.clear();
                        for (int i = 0; i < v[64]; ++i)
                            append_utf8(&out->name, le16(v + 66 + 2 * i));
                        out->name_space = space;
                    }
                }
            } else if (type == 0x80 && !resident && a[9] == 0 && length >= 64) {
                runs(a + le16(a + 32), r + at + length, &out->runs);
            }
            at += length;
        }
        return true;
    }

    static void runs(const uint8_t *p, const uint8_t *end,
                     std::vector<std::pair<uint64_t, uint64_t>> *out) {
        int64_t lcn = 0;
        while (p < end && *p != 0) {
            const int length_bytes = *p & 0x0F, offset_bytes = *p >> 4;
            if (length_bytes == 0 || length_bytes > 8 || offset_bytes > 8 ||
                p + 1 + length_bytes + offset_bytes > end)
                return;
            uint64_t count = 0;
            for (int i = 0; i < length_bytes; ++i)
                count |= uint64_t(p[1 + i]) << (8 * i);
            if (offset_bytes != 0) {
                int64_t delta = 0;
                for (int i = 0; i < offset_bytes; ++i)
                    delta |= int64_t(p[1 + length_bytes + i]) << (8 * i);
                if (p[length_bytes + offset_bytes] & 0x80) // sign of the last byte
                    delta |= offset_bytes < 8 ? -(int64_t(1) << (8 * offset_bytes)) : 0;
                lcn += delta;
                if (lcn >= 0)
                    out->emplace_back(uint64_t(lcn), count);
            } // no offset: a sparse run, nothing on disk
            p += 1 + length_bytes + offset_bytes;
        }
    }

    std::string path_of(uint64_t number, int depth) {
        if (number == kRoot)
            return "";
        auto it = records_.find(number);
        if (it == records_.end() || depth > kMaxDepth || it->second.name.empty())
            return "";
        if (it->second.parent == kRoot)
            return "/" + it->second.name;
        std::string parent = path_of(it->second.parent, depth + 1);
        return parent.empty() ? "" : parent + "/" + it->second.name;
    }

    const ImageReader &image_;
    const std::vector<ByteRange> &ranges_;
    std::vector<std::vector<std::string>> *files_;
    uint64_t cluster_ = 0, record_ = 0, sector_ = 0;
    std::map<uint64_t, Record> records_;
};

} // namespace

bool files_in_ranges(const ImageReader &image, const std::vector<ByteRange> &ranges,
                     std::vector<std::vector<std::string>> *files) {
    return Walker(image, ranges, files).run() || ExfatWalker(image, ranges, files).run() ||
           NtfsWalker(image, ranges, files).run();
}

} // namespace tw
