// Whole files as bytes, for the tests, and byte strings that may hold NUL. A file that cannot be
// read or written throws, so a test never compares against content it did not get.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

inline std::string ReadBytes(const std::filesystem::path& Path)
{
    std::ifstream In(Path, std::ios::binary);
    if (!In) throw std::runtime_error("cannot read " + Path.string());
    std::stringstream Buffer;
    Buffer << In.rdbuf();
    return Buffer.str();
}

inline void WriteBytes(const std::filesystem::path& Path, const std::string& Content)
{
    std::ofstream Out(Path, std::ios::binary | std::ios::trunc);
    Out << Content;
    Out.close();
    if (!Out) throw std::runtime_error("cannot write " + Path.string());
}

// The names in Directory that are not notes.ini: temporary files a write left behind.
inline std::vector<std::string> Leftovers(const std::filesystem::path& Directory)
{
    std::vector<std::string> Names;
    for (const auto& Item : std::filesystem::directory_iterator(Directory))
        if (Item.path().filename() != "notes.ini") Names.push_back(Item.path().filename().string());
    return Names;
}

// Bytes that may hold NUL: the first Length bytes of Text.
inline std::string Bytes(const char* Text, size_t Length)
{
    return std::string(Text, Length);
}
