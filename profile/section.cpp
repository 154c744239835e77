// The section lookup for many keys: one pass over the section, then comparisons of hashes, so
// that the reads of a registration and the edit that follows them share one pass. Its cost
// against a pass per read, and the layouts it was chosen over, are in docs/performance.md.

#include <algorithm>

#include "profile/rules.h"

namespace profile {
namespace {

// The line that starts at Begin, found by a look at its own bytes only: the lookup keeps each
// line's start, not the whole line, which costs less memory and time to build.
Line LineAt(std::string_view Content, size_t Begin)
{
    size_t End = std::min(Content.find_first_of("\r\n", Begin), Content.size());
    size_t Next = End + (End < Content.size());
    if (Content.substr(End, 2) == "\r\n") Next++;
    return Line{Begin, End, Next};
}

}  // namespace

SectionLookup::SectionLookup(std::string_view Content, std::string_view Section,
                             unsigned CodePage, size_t From)
    : Content_(Content), CodePage_(CodePage)
{
    std::optional<Line> Header;
    if (!IsUtf16(Content)) Header = FindSection(Content, Section, CodePage, From);
    if (!Header) return;
    Section_.SectionFound = true;
    Section_.LastLineOfSection = *Header;
    // Each non-blank line up to the next section header.
    for (LineScanner Scanner{Content, Header->Next}; !Scanner.AtEnd();) {
        Line Current = Scanner.Next();
        std::string_view Seen = SeenPart(Content, Current), Name;
        if (Seen.empty()) continue;
        if (ParseHeader(Seen, Name, CodePage)) break;
        Section_.LastLineOfSection = Current;
        Hashes_.push_back(HashName(ParseEntry(Seen, CodePage).Name));
        Begins_.push_back(Current.Begin);
    }
}

Location SectionLookup::Locate(std::string_view Key) const
{
    Location Result = Section_;
    uint32_t Hash = HashName(Key);
    auto Item = Hashes_.begin();
    while ((Item = std::find(Item, Hashes_.end(), Hash)) != Hashes_.end()) {
        Line Current = LineAt(Content_, Begins_[(size_t)(Item++ - Hashes_.begin())]);
        Entry Parsed = ParseEntry(SeenPart(Content_, Current), CodePage_);
        if (SameName(Parsed.Name, Key, CodePage_)) {
            Result.KeyFound = true;
            Result.KeyLine = Current;
            Result.KeyEntry = Parsed;
            break;
        }
    }
    return Result;
}

}  // namespace profile
