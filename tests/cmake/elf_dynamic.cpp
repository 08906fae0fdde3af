#include "elf_dynamic.h"

#include <cstring>
#include <elf.h>

namespace elfcheck {

namespace {

template <typename T> bool load(const std::string &image, std::size_t offset, T &out) {
    if (offset > image.size() || image.size() - offset < sizeof(T)) return false;
    std::memcpy(&out, image.data() + offset, sizeof(T));
    return true;
}

struct elf32 {
    using ehdr = Elf32_Ehdr;
    using phdr = Elf32_Phdr;
    using dyn = Elf32_Dyn;
};
struct elf64 {
    using ehdr = Elf64_Ehdr;
    using phdr = Elf64_Phdr;
    using dyn = Elf64_Dyn;
};

template <typename E> std::optional<dynamic_info> parse(const std::string &image, std::string &error) {
    typename E::ehdr eh{};
    if (!load(image, 0, eh)) {
        error = "truncated ELF header";
        return std::nullopt;
    }
    std::vector<typename E::phdr> segments;
    for (unsigned i = 0; i < eh.e_phnum; ++i) {
        typename E::phdr ph{};
        if (!load(image, eh.e_phoff + std::size_t{i} * eh.e_phentsize, ph)) {
            error = "truncated program header table";
            return std::nullopt;
        }
        segments.push_back(ph);
    }
    // Dynamic entries hold addresses; the loadable segments say where those lie in the file.
    auto file_offset = [&](std::uint64_t address) -> std::optional<std::size_t> {
        for (const auto &ph : segments)
            if (ph.p_type == PT_LOAD && address >= ph.p_vaddr && address < ph.p_vaddr + ph.p_filesz)
                return static_cast<std::size_t>(address - ph.p_vaddr + ph.p_offset);
        return std::nullopt;
    };

    dynamic_info info;
    info.is_32bit_arm = eh.e_ident[EI_CLASS] == ELFCLASS32 && eh.e_machine == EM_ARM;
    const typename E::phdr *dynamic = nullptr;
    for (const auto &ph : segments)
        if (ph.p_type == PT_DYNAMIC) dynamic = &ph;
    if (dynamic == nullptr) return info; // a static program: nothing needed at load time

    std::vector<std::pair<std::int64_t, std::uint64_t>> entries;
    std::optional<std::uint64_t> strtab;
    for (std::size_t at = dynamic->p_offset; at < dynamic->p_offset + dynamic->p_filesz;
         at += sizeof(typename E::dyn)) {
        typename E::dyn d{};
        if (!load(image, at, d)) {
            error = "truncated dynamic section";
            return std::nullopt;
        }
        if (d.d_tag == DT_NULL) break;
        if (d.d_tag == DT_STRTAB) strtab = d.d_un.d_ptr;
        entries.emplace_back(d.d_tag, d.d_un.d_val);
    }
    const auto strings = strtab ? file_offset(*strtab) : std::nullopt;
    if (!strings) {
        error = "dynamic section without a string table";
        return std::nullopt;
    }
    for (const auto &[tag, value] : entries) {
        if (tag != DT_NEEDED && tag != DT_RUNPATH && tag != DT_RPATH) continue;
        const std::size_t start = *strings + value;
        const std::size_t end = image.find('\0', start);
        if (start >= image.size() || end == std::string::npos) {
            error = "dynamic string outside the file";
            return std::nullopt;
        }
        std::string text = image.substr(start, end - start);
        if (tag == DT_NEEDED)
            info.needed.push_back(text);
        else if (tag == DT_RUNPATH)
            info.runpath = text;
        else
            info.rpath = text;
    }
    return info;
}

} // namespace

std::optional<dynamic_info> read_dynamic(const std::string &image, std::string &error) {
    if (image.size() < EI_NIDENT || std::memcmp(image.data(), ELFMAG, SELFMAG) != 0) {
        error = "not an ELF file";
        return std::nullopt;
    }
    if (image[EI_DATA] != ELFDATA2LSB) {
        error = "not a little-endian ELF file";
        return std::nullopt;
    }
    if (image[EI_CLASS] == ELFCLASS32) return parse<elf32>(image, error);
    if (image[EI_CLASS] == ELFCLASS64) return parse<elf64>(image, error);
    error = "unknown ELF class";
    return std::nullopt;
}

} // namespace elfcheck
