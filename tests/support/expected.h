// What the program must show and write, for the tests: the entry it registers, its exit
// statuses, its message texts as a user sees them under a UTF-8 locale, and the lines that the
// stand-ins for the message box and the help viewer write to standard error.
#pragma once

#include <string>

#define TEXT_NOT_FOUND \
    "notes.iniファイルが見つかりません。\n正しいNotesディレクトリでセットアップしてください。"
#define TEXT_REGISTERED "Talvenorをnotes.iniに登録しました。"
#define TEXT_REMOVED                              \
    "notes.iniからTalvenorの登録を削除しました。\n" \
    "nVorkap(exe,dll,hlp)ファイルは別途削除してください。"
#define TEXT_WRITE_FAILED \
    "notes.iniを更新できませんでした。\nnotes.iniへの書き込み権限を確認してください。"
#define TEXT_NO_SLOT                                                                            \
    "notes.iniのVIEWEXP5からVIEWEXP31までに空きがないため、Talvenorを登録できませんでした。\n" \
    "不要なエクスポート形式を削除してから、もう一度セットアップしてください。"

namespace expected {

// The value that registration writes into its VIEWEXP slot.
inline const char kEntry[] = "Export HTML Files,1,_Vorkap,,.Htm,,1,";

constexpr int kStatusDone = 0;
constexpr int kStatusNotFound = 1;
constexpr int kStatusWriteFailed = 2;
constexpr int kStatusNoSlot = 3;

inline const std::string kInfoBox = "[Talvenor] information\n";
inline const std::string kErrorBox = "[Talvenor] error\n";
inline const std::string kHelpContents = "help: nVorkap.hlp: contents\n";
inline const std::string kHelpTopic = "help: nVorkap.hlp: topic 123\n";

}  // namespace expected
