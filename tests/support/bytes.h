// Whole files as bytes, for the tests.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

inline std::string ReadBytes(const std::filesystem::path& Path)
{
    std::ifstream In(Path, std::ios::binary);
    std::stringstream Buffer;
    Buffer << In.rdbuf();
    return Buffer.str();
}

inline void WriteBytes(const std::filesystem::path& Path, const std::string& Content)
{
    std::ofstream Out(Path, std::ios::binary | std::ios::trunc);
    Out << Content;
}
