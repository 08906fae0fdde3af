#include "base/elf.h"

#include "base/real.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace boardsim::detail {

namespace {

// A file read in pieces at the offsets its headers give.
class file {
  public:
    explicit file(const char *path) : fd_(real().open(path, O_RDONLY | O_CLOEXEC)) {}
    ~file() {
        if (fd_ >= 0) real().close(fd_);
    }
    file(const file &) = delete;
    file &operator=(const file &) = delete;
    [[nodiscard]] bool is_open() const { return fd_ >= 0; }

    bool read(std::uint64_t offset, void *out, std::size_t size) const {
        auto *bytes = static_cast<char *>(out);
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::pread(fd_, bytes + done, size - done, static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

  private:
    int fd_;
};

// The headers of one ELF class (Elf32_* or Elf64_*), read as the file is laid out: little-endian, as
// every machine these tools run on.
template <typename Ehdr, typename Phdr, typename Shdr, typename Sym> struct layout {
    static bool dynamic(const file &f, const Ehdr &h) {
        for (unsigned i = 0; i < h.e_phnum; ++i) {
            Phdr p{};
            if (!f.read(h.e_phoff + static_cast<std::uint64_t>(i) * h.e_phentsize, &p, sizeof p))
                return false;
            if (p.p_type == PT_INTERP) return true;
        }
        return false;
    }

    static bool exports(const file &f, const Ehdr &h, std::string_view name) {
        for (unsigned i = 0; i < h.e_shnum; ++i) {
            Shdr symbols{};
            if (!f.read(h.e_shoff + static_cast<std::uint64_t>(i) * h.e_shentsize, &symbols, sizeof symbols))
                return false;
            if (symbols.sh_type != SHT_DYNSYM || symbols.sh_entsize != sizeof(Sym)) continue;
            Shdr strings{};
            if (!f.read(h.e_shoff + static_cast<std::uint64_t>(symbols.sh_link) * h.e_shentsize, &strings,
                        sizeof strings))
                return false;
            for (std::uint64_t at = 0; at + sizeof(Sym) <= symbols.sh_size; at += sizeof(Sym)) {
                Sym s{};
                if (!f.read(symbols.sh_offset + at, &s, sizeof s)) return false;
                if (s.st_shndx == SHN_UNDEF || s.st_name + name.size() >= strings.sh_size) continue;
                std::string text(name.size() + 1, '\0');
                if (f.read(strings.sh_offset + s.st_name, text.data(), text.size()) &&
                    std::string_view{text}.substr(0, name.size()) == name && text.back() == '\0')
                    return true;
            }
        }
        return false;
    }
};
using elf32 = layout<Elf32_Ehdr, Elf32_Phdr, Elf32_Shdr, Elf32_Sym>;
using elf64 = layout<Elf64_Ehdr, Elf64_Phdr, Elf64_Shdr, Elf64_Sym>;

} // namespace

std::optional<executable> read_executable(const char *path) {
    const file f{path};
    if (!f.is_open()) return std::nullopt;
    executable e;
    unsigned char ident[EI_NIDENT] = {};
    if (!f.read(0, ident, sizeof ident)) {
        // Shorter than an ELF header: a script still may be.
        char start[2] = {};
        e.script = f.read(0, start, 2) && start[0] == '#' && start[1] == '!';
    } else if (std::memcmp(ident, ELFMAG, SELFMAG) == 0) {
        e.elf = true;
        e.elf_class = ident[EI_CLASS];
        if (e.elf_class == ELFCLASS32) {
            Elf32_Ehdr h{};
            if (!f.read(0, &h, sizeof h)) return e;
            e.machine = h.e_machine;
            e.dynamic = elf32::dynamic(f, h);
        } else if (e.elf_class == ELFCLASS64) {
            Elf64_Ehdr h{};
            if (!f.read(0, &h, sizeof h)) return e;
            e.machine = h.e_machine;
            e.dynamic = elf64::dynamic(f, h);
        }
    } else {
        e.script = ident[0] == '#' && ident[1] == '!';
    }
    if (e.script) {
        char line[256] = {};
        std::size_t got = 0;
        while (got < sizeof line - 1 && f.read(got, line + got, 1) && line[got] != '\n')
            ++got;
        std::string_view rest{line + 2, got > 2 ? got - 2 : 0};
        while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t'))
            rest.remove_prefix(1);
        e.interpreter = std::string{rest.substr(0, rest.find_first_of(" \t"))};
    }
    return e;
}

bool exports_symbol(const char *path, std::string_view name) {
    const file f{path};
    unsigned char ident[EI_NIDENT] = {};
    if (!f.is_open() || !f.read(0, ident, sizeof ident) || std::memcmp(ident, ELFMAG, SELFMAG) != 0)
        return false;
    if (ident[EI_CLASS] == ELFCLASS32) {
        Elf32_Ehdr h{};
        return f.read(0, &h, sizeof h) && elf32::exports(f, h, name);
    }
    Elf64_Ehdr h{};
    return ident[EI_CLASS] == ELFCLASS64 && f.read(0, &h, sizeof h) && elf64::exports(f, h, name);
}

std::string machine_name(const executable &e) {
    const std::string bits = e.elf_class == ELFCLASS32   ? "32-bit "
                             : e.elf_class == ELFCLASS64 ? "64-bit "
                                                         : "";
    switch (e.machine) {
    case EM_X86_64:
    case EM_386:
        return bits + "x86";
    case EM_ARM:
    case EM_AARCH64:
        return bits + "ARM";
    case EM_RISCV:
        return bits + "RISC-V";
    default:
        return bits + "machine " + std::to_string(e.machine);
    }
}

} // namespace boardsim::detail
