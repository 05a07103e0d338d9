// Every text the updater shows. Sources stay UTF-8; the compiler stores the
// C++ strings as Shift-JIS (-fexec-charset=CP932) and the resource compiler
// reads the same macros for the dialog and version resource.
#pragma once

#define SQ_APP_TITLE "Starquill アップデート Ver1.30"

#ifndef RC_INVOKED

// Caption of the dialog and of every message box but the per-file error.
constexpr char AppTitle[] = SQ_APP_TITLE;

constexpr char NotInstalledText[] =
    "Starquillがインストールされていません。インストールが終了してから再度アップデートを行って下さいませ。";
constexpr char OverwriteQuestionText[] =
    "既にこのバージョンのアップデートは終了しています。\n上書きアップデートしますか？";
constexpr char RegistryErrorText[] = "レジストリエラー";
constexpr char UpdateCompleteText[] = "更新は完了しました。";
constexpr char UpdateFailedText[] =
    "更新ファイル書き込みに失敗しました。ゲームが起動されている場合は、終了してから再度実行して下さい。";

// The per-file failure: caption and format (the payload name goes in %s).
constexpr char FileErrorCaption[] = "エラー";
constexpr char FileErrorFormat[] = "ファイルが書き込めません。[%s]";

#endif

#ifndef RC_INVOKED

// The 30-FPS Start-menu shortcut: its file name and description.
constexpr char ThirtyFpsLinkName[] = "テセルカ３０ＦＰＳ.lnk";
constexpr char ThirtyFpsDescription[] = "ゲームを３０ＦＰＳで起動します";

#endif
