// The message texts as a user must see them, in UTF-8, for the tests.
#pragma once

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
