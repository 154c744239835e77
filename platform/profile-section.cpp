// The section lookup for many keys: one pass over the section, then binary searches.
#include <algorithm>
#include <climits>

#include "platform/profile-rules.h"

namespace profile {

SectionLookup::SectionLookup(std::string_view Content, std::string_view Section)
    : Content_(Content), Section_(Section)
{
    if (IsUtf16(Content)) return;
    if (Content.size() > UINT32_MAX) {
        Scan_ = true;
        return;
    }
    LineScanner Scanner(Content, ContentStart(Content));
    Line Header;
    Found_ = FindSection(Content, Section, Scanner, Header);
    while (Found_ && !Scanner.AtEnd()) {
        Line Current = Scanner.Next();
        std::string_view Seen = SeenPart(Content, Current);
        std::string_view Name;
        if (Seen.empty()) continue;
        if (ParseHeader(Seen, Name)) break;
        Names_.push_back((uint64_t)HashName(ParseEntry(Seen).Name) << 32 | Current.Begin);
    }
    // By hash, and lines of one hash in file order: the first line of a name comes first.
    std::sort(Names_.begin(), Names_.end());
}

std::optional<std::string_view> SectionLookup::FindValue(std::string_view Key) const
{
    if (Scan_) return profile::FindValue(Content_, Section_, Key);
    uint64_t Hash = HashName(Key);
    auto Item = std::lower_bound(Names_.begin(), Names_.end(), Hash << 32);
    for (; Item != Names_.end() && (*Item >> 32) == Hash; ++Item) {
        size_t Begin = (uint32_t)*Item;
        size_t End = std::min(Content_.find_first_of("\r\n", Begin), Content_.size());
        Entry Parsed = ParseEntry(SeenPart(Content_, Line{Begin, End, End}));
        if (SameName(Parsed.Name, Key)) return ValueOf(Parsed);
    }
    return std::nullopt;
}

size_t SectionLookup::ReadString(std::string_view Key, const char* Default, char* Buffer,
                                 size_t Size) const
{
    return CopyResult(FindValue(Key), Default, Buffer, Size);
}

}  // namespace profile
