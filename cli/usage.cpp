// The usage text of the command line.
#include "cli/cli.h"

namespace tw {

namespace {

// "%s" stands for the version text.
constexpr const char *kUsage =
    "Tarnwick Pro for Linux %s\n"
    "\n"
    "tarnwick --version [--json]\n"
    "tarnwick create OUTPUT SIZE_MIB fat32|exfat|ntfs LABEL [--algorithm NAME] "
    "[--credentials-stdin] [--json]\n"
    "tarnwick devices [--json]\n"
    "tarnwick image DEVICE OUTPUT [--algorithm NAME] [--credentials-stdin] [--json]\n"
    "tarnwick info FILE [--json]\n"
    "tarnwick verify FILE [--full] [--password-stdin] [--json]\n"
    "tarnwick mount FILE [--password-stdin] [--partition N] [--label NAME] [--experimental-write] "
    "[--json]\n"
    "tarnwick unmount SESSION_UUID [--json]\n"
    "tarnwick repair FILE [--password-stdin] [--json]\n"
    "tarnwick sessions [--json]\n"
    "tarnwick service-status [--json]\n"
    "tarnwick restart-service [--json]\n"
    "tarnwick stop-service [--json]\n"
    "tarnwick export FILE OUTPUT [--password-stdin] [--json]\n"
    "tarnwick rekey FILE NEW_FILE [--credentials-stdin] [--json]\n"
    "tarnwick convert FILE NEW_FILE [--algorithm NAME] [--credentials-stdin] [--json]\n"
    "tarnwick replace FILE [--algorithm NAME] [--credentials-stdin] [--json]\n"
    "tarnwick import-veracrypt SOURCE NEW_FILE [--credentials-stdin] [--json]\n"
    "tarnwick recover-replacement FILE [--json]\n"
    "tarnwick doctor [--json]\n"
    "tarnwick benchmark [--json]\n"
    "\n"
    "Verification checks credentials and filesystem structure, not authenticity.\n"
    "Export creates a new plaintext file and never replaces an existing file.\n"
    "Rekey creates and fully verifies a new encrypted copy; the original is kept.\n"
    "Convert encrypts an image or changes a container's algorithm into a new v3 file.\n"
    "Replace verifies a new v3 container at the same path and retains the original backup.\n"
    "Recover-replacement completes an interrupted switch using the adjacent journal.\n"
    "Benchmark measures this machine's encryption, authentication, compression and key\n"
    "derivation speed, and a container written and read in memory, in a few seconds.\n"
    "Import-veracrypt takes the original AES VeraCrypt container file and creates a verified ZCX.\n"
    "Use local ext4, XFS or Btrfs storage. The VeraCrypt volume can stay mounted read-only.\n"
    "Keep the original until you have checked your files.\n"
    "Repair runs fsck on every data volume and writes its fixes into the container;\n"
    "after a clean result it removes the marker an unfinished write session left. Keep a copy "
    "first.\n"
    "Create/image/rekey/convert/replace accept --experimental-compression off|fast CHUNK_BYTES "
    "(4096, 16384, 65536).\n"
    "This writes the provisional v3 format, with opt-in experimental mounted writes.\n"
    "Create initializes and verifies a new container with a positive whole size in MiB.\n"
    "--algorithm selects AES-256-XTS (default), XChaCha20, SSE1, or XOR.\n"
    "File size and formatting limits come from Linux and the selected filesystems.\n"
    "Creation needs temporary space for the raw image and encrypted output. Mounts default to "
    "read-only.\n"
    "New passwords use exact UTF-8 bytes, up to 4096 bytes, without normalization.\n"
    "FAT32/exFAT labels use 1 to 11\n"
    "uppercase letters, digits, spaces, or underscores. NTFS labels allow up to\n"
    "32 characters without \\ / : * ? \" < > |.\n"
    "Volume labels must not have surrounding spaces.\n"
    "--credentials-stdin reads a UTF-8 JSON object (up to 64 KiB) with newPassword and\n"
    "confirmation for create/image/rekey/convert/replace/import-veracrypt, plus password for\n"
    "rekey/convert/replace and the VeraCrypt password for import-veracrypt.\n"
    "Secrets never go in arguments.\n"
    "Passwords are prompted on the console or read from standard input.\n"
    "Mounts decrypt on demand and survive closing the app.\n"
    "--experimental-write opts into writes through Linux's NTFS, exFAT and FAT drivers.\n"
    "Worker crashes can damage the filesystem; keep a backup.\n"
    "Mounting uses the Tarnwick initiator service on the loopback interface only.\n";

} // namespace

std::string cli_usage_text() {
    std::string usage = kUsage;
    usage.replace(usage.find("%s"), 2, cli_version_text());
    // The last line's feed is added when the text is printed.
    usage.pop_back();
    return usage;
}

} // namespace tw
