// The ELF reader behind the install checks, on files whose dynamic section is known.
#include "elf_dynamic.h"

#include <cstring>
#include <elf.h>
#include <gtest/gtest.h>

namespace {

// A minimal 32-bit ARM shared object image: one PT_LOAD covering the file, one PT_DYNAMIC.
std::string make_image(const std::vector<std::pair<Elf32_Sword, std::string>> &strings_by_tag,
                       Elf32_Half machine = EM_ARM) {
    std::string strtab(1, '\0');
    std::vector<Elf32_Dyn> dyn;
    const Elf32_Addr base = 0x10000;
    const std::size_t header_bytes = sizeof(Elf32_Ehdr) + 2 * sizeof(Elf32_Phdr);
    for (const auto &[tag, text] : strings_by_tag) {
        dyn.push_back(Elf32_Dyn{tag, {static_cast<Elf32_Word>(strtab.size())}});
        strtab += text;
        strtab += '\0';
    }
    const std::size_t dyn_offset = header_bytes;
    const std::size_t dyn_bytes = (dyn.size() + 2) * sizeof(Elf32_Dyn);
    const std::size_t str_offset = dyn_offset + dyn_bytes;
    dyn.push_back(Elf32_Dyn{DT_STRTAB, {static_cast<Elf32_Word>(base + str_offset)}});
    dyn.push_back(Elf32_Dyn{DT_NULL, {0}});

    Elf32_Ehdr eh{};
    std::memcpy(eh.e_ident, ELFMAG, SELFMAG);
    eh.e_ident[EI_CLASS] = ELFCLASS32;
    eh.e_ident[EI_DATA] = ELFDATA2LSB;
    eh.e_ident[EI_VERSION] = EV_CURRENT;
    eh.e_type = ET_DYN;
    eh.e_machine = machine;
    eh.e_phoff = sizeof(Elf32_Ehdr);
    eh.e_phentsize = sizeof(Elf32_Phdr);
    eh.e_phnum = 2;
    const std::size_t total = str_offset + strtab.size();
    Elf32_Phdr load{PT_LOAD, 0, base, base, static_cast<Elf32_Word>(total), static_cast<Elf32_Word>(total),
                    PF_R,    4};
    Elf32_Phdr dynamic{PT_DYNAMIC,
                       static_cast<Elf32_Off>(dyn_offset),
                       base + static_cast<Elf32_Addr>(dyn_offset),
                       base + static_cast<Elf32_Addr>(dyn_offset),
                       static_cast<Elf32_Word>(dyn_bytes),
                       static_cast<Elf32_Word>(dyn_bytes),
                       PF_R,
                       4};

    std::string image(reinterpret_cast<const char *>(&eh), sizeof eh);
    image.append(reinterpret_cast<const char *>(&load), sizeof load);
    image.append(reinterpret_cast<const char *>(&dynamic), sizeof dynamic);
    image.append(reinterpret_cast<const char *>(dyn.data()), dyn.size() * sizeof(Elf32_Dyn));
    image += strtab;
    return image;
}

TEST(ElfDynamic, ReadsNeededRunpathAndRpathInOrder) {
    std::string error;
    const auto info = elfcheck::read_dynamic(
        make_image(
            {{DT_NEEDED, "libvexa.so"}, {DT_RUNPATH, "/lib"}, {DT_NEEDED, "libc.so.6"}, {DT_RPATH, "/opt"}}),
        error);
    ASSERT_TRUE(info) << error;
    EXPECT_TRUE(info->is_32bit_arm);
    EXPECT_EQ(info->needed, (std::vector<std::string>{"libvexa.so", "libc.so.6"}));
    EXPECT_EQ(info->runpath, std::optional<std::string>{"/lib"});
    EXPECT_EQ(info->rpath, std::optional<std::string>{"/opt"});
}

TEST(ElfDynamic, NoSearchPathWhenNoneIsGiven) {
    std::string error;
    const auto info = elfcheck::read_dynamic(make_image({{DT_NEEDED, "libc.so.6"}}, EM_X86_64), error);
    ASSERT_TRUE(info) << error;
    EXPECT_FALSE(info->is_32bit_arm);
    EXPECT_EQ(info->needed, std::vector<std::string>{"libc.so.6"});
    EXPECT_EQ(info->runpath, std::nullopt);
    EXPECT_EQ(info->rpath, std::nullopt);
}

TEST(ElfDynamic, RejectsWhatIsNotAWholeElfFile) {
    const std::string good = make_image({{DT_NEEDED, "libc.so.6"}});
    const std::vector<std::pair<std::string, std::string>> cases{
        {"#!/bin/sh\necho hi\n", "not an ELF file"},
        {good.substr(0, 30), "truncated ELF header"},
        {good.substr(0, sizeof(Elf32_Ehdr) + 10), "truncated program header table"},
        {good.substr(0, good.size() - 5), "dynamic string outside the file"},
    };
    for (const auto &[image, expected] : cases) {
        std::string error;
        EXPECT_FALSE(elfcheck::read_dynamic(image, error));
        EXPECT_EQ(error, expected);
    }
}

} // namespace
