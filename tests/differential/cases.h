// Profile-file cases for the differential test: a file's bytes and the operations applied to it,
// generated from tricky pieces, written as an oracle batch, and reduced when they disagree.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace diff {

// One call: 'R' reads Section/Key, 'S' sets Value, 'D' deletes the key.
struct Op {
    char Kind;
    std::string Section, Key, Value;
};

struct Case {
    std::string File;
    std::vector<Op> Ops;
};

// What the generator may put into a file besides ASCII.
enum class Charset {
    SingleByte,   // every byte 0x80-0xFF stands for one character (code page 1252)
    CodePage932,  // code page 932: valid double-byte pairs and single-byte katakana
};

// Makes cases from a seed; the same seed and charset give the same cases.
class Generator {
public:
    Generator(uint64_t Seed, Charset Set);
    Case Next();

private:
    std::string Name();
    std::string Value();
    std::string Text(size_t MaxUnits);
    std::string Unit();
    std::string Blanks();
    std::string LineEnd();
    std::string Variant(const std::string& Name);
    std::string Line(const std::vector<std::string>& Sections,
                     const std::vector<std::string>& Keys);
    Op Operation(const std::vector<std::string>& Sections, const std::vector<std::string>& Keys);
    bool Chance(int Percent);
    size_t Pick(size_t Count);

    std::mt19937_64 Random;
    Charset Set;
    std::vector<std::string> Pairs;  // code page 932 characters of two bytes
};

// The batch text that the oracle reads (see oracle.cpp).
std::string BatchText(const std::vector<Case>& Cases);

// Every case one step smaller than Original, coarse steps first: an operation dropped, a line
// dropped, a run of bytes dropped from the file or from a name or value; never one that cuts a
// character of the charset apart.
std::vector<Case> Reductions(const Case& Original, Charset Set);

// The bytes as a C string literal, for reproducers.
std::string Quoted(const std::string& Bytes);

// True when the byte pair is a lead byte and a trail byte of code page 932.
bool IsDoubleByte(unsigned char Lead, unsigned char Trail);

}  // namespace diff
