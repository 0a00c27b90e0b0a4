// The error codes both programs hand to their pages ("$ERRORMSG"); the
// templates hold the texts.
#pragma once

namespace intake {

inline constexpr int kCodeOk = 0;
inline constexpr int kCodeCountLimit = 1;       // one more file would pass the count limit
inline constexpr int kCodeSizeLimit = 2;        // the files would pass the level's size limit
inline constexpr int kCodeNoPermission = 3;     // the cabinet refused to read a file
inline constexpr int kCodeVirus = 4;            // the scanner found a virus
inline constexpr int kCodeEmptyUpload = 5;      // an upload had a name but no data
inline constexpr int kCodeListNotSaved = 6;     // the list could not be written
inline constexpr int kCodeNotScanned = 7;       // the scanner could not check a file
inline constexpr int kCodeNoComposeWindow = 8;  // files sent without a compose window

}  // namespace intake
