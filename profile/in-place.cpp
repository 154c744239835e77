// The plan of a rewrite in place; its contract is in profile.h.
#include "profile/profile.h"

namespace profile {

InPlacePlan PlanInPlace(std::string_view Old, std::string_view New)
{
    InPlacePlan Plan;
    Plan.OldSize = Old.size();
    Plan.NewSize = New.size();
    Plan.Grown = Old.size() > New.size() ? Old.size() : New.size();
    // Blanks (0x20) end a line's name or value and make up blank lines: padded either way, the
    // file reads as the content it pads. A blank is never a code page 932 trail byte, so it
    // cannot join a lead byte left at the end into one character.
    Plan.Forward.assign(New).resize(Plan.Grown, ' ');
    Plan.Back.assign(Old).resize(Plan.Grown, ' ');
    return Plan;
}

}  // namespace profile
