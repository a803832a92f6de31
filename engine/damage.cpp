#include "engine/damage.h"

#include "engine/engine.h"
#include "runtime/text.h"

#include <cstdlib>

namespace tw {

namespace {

constexpr const char *kDamagedAdvice =
    "Keep the file as it is, copy out what is still readable, and check your backup.";

} // namespace

char *damage_message_alloc(const ContainerDamage &d) {
    const unsigned long long first = d.first_byte;
    const unsigned long long last = d.length ? d.first_byte + d.length - 1 : d.first_byte;
    switch (d.part) {
    case DamagedPart::none:
        return nullptr;
    case DamagedPart::header:
        return format_alloc("The container is damaged: neither copy of its header is valid. %s",
                            kDamagedAdvice);
    case DamagedPart::truncated:
        return format_alloc("The container is damaged: the file is shorter than its header "
                            "records, so its end was cut off. %s",
                            kDamagedAdvice);
    case DamagedPart::chunk_map:
        if (d.length == 0)
            return format_alloc("The container is damaged: a node of its chunk map failed its "
                                "check. %s",
                                kDamagedAdvice);
        return format_alloc("The container is damaged: a node of its chunk map failed its check; "
                            "it maps bytes %llu to %llu of the disk. %s",
                            first, last, kDamagedAdvice);
    case DamagedPart::allocation_bitmap:
        return format_alloc("The container is damaged: a node of its allocation bitmap failed its "
                            "check. %s",
                            kDamagedAdvice);
    case DamagedPart::data_chunk:
        return format_alloc("The container is damaged: data chunk %llu failed its check; it holds "
                            "bytes %llu to %llu of the disk. %s",
                            static_cast<unsigned long long>(d.index), first, last, kDamagedAdvice);
    case DamagedPart::sector0:
        return format_alloc("The container is damaged: the block that holds sector 0 failed its "
                            "check; it holds bytes 0 to 511 of the disk. %s",
                            kDamagedAdvice);
    }
    return nullptr;
}

int engine_fail_damage(const ContainerDamage &damage, const char *fallback) {
    char *message = damage_message_alloc(damage);
    char *generic = nullptr;
    if (message == nullptr && fallback == nullptr)
        generic = format_alloc("The container is damaged: its header copies or its metadata do not "
                               "agree. %s",
                               kDamagedAdvice);
    int code = engine_fail("io", message ? message : generic ? generic : fallback ? fallback : "");
    std::free(generic);
    std::free(message);
    return code;
}

} // namespace tw
