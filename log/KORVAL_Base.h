#pragma once

#include <QString>
#include <QVariantMap>

#include <optional>

// Root of the class-level utility classes: they have class methods only and are never
// instantiated. It holds the system-information utilities.
class KORVAL_Base {
public:
    // "freePages", "freeBytes" and "freeMB"; none when the kernel does not tell.
    static std::optional<QVariantMap> vmStats();
    // The hardware model and the machine, e.g. "ThinkCentre M720q (x86_64)"; none when unknown.
    static QString hostModelAndArch();
    // "Mac OS X <version> foundation (<n.nnn>);\n<n>MB (<n>MB free); <n> CPU; LittleEndian (64-bit); <model>"
    static QString systemVersionInfo();
    // 80 carets, then "\n<process> starting up\n", then the system description.
    static QString startupInfo();
    // A new, empty temporary file ("XXXXXXXXXXXXXXXX" in $TMPDIR or /tmp), mode 0600; its
    // descriptor goes to `descriptor` (negative on failure) or is closed. None on failure, which
    // goes to the platform's log.
    static QString safeTempFile(int* descriptor = nullptr);
    // The first standard folder of a kind (the platform's directory numbers) in the domains
    // (0: all), a leading "~" not expanded; none when there is none.
    static QString firstFoundDirectoryType(unsigned long kind, unsigned long domainMask);

protected:
    KORVAL_Base() = delete;

    // Shared by the class and its subclass: each calls the versions of the class it is invoked on.
    template <class Self>
    static QString systemVersionInfoOf();
    template <class Self>
    static QString startupInfoOf();
    static QString safeTempFileReporting(int* descriptor, void (*report)(const QString&));
};

// The platform's directory kinds and domains that firstFoundDirectoryType knows.
namespace SearchPath {
enum Directory : unsigned long {
    ApplicationDirectory = 1,
    LibraryDirectory = 5,
    UserDirectory = 7,
    DocumentDirectory = 9,
    DesktopDirectory = 12,
    CachesDirectory = 13,
    ApplicationSupportDirectory = 14,
    DownloadsDirectory = 15,
    MoviesDirectory = 17,
    MusicDirectory = 18,
    PicturesDirectory = 19,
    ItemReplacementDirectory = 99,
    TrashDirectory = 102,
};
enum Domain : unsigned long { UserDomainMask = 1, LocalDomainMask = 2, NetworkDomainMask = 4, SystemDomainMask = 8, AllDomainsMask = 0x0ffff };
}  // namespace SearchPath
