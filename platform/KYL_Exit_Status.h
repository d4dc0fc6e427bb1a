// SPDX-License-Identifier: MIT
// The statuses kyl and kylz end with.  Scripts tell a damaged input from any
// other failure by them, so both programs give each the same number.
#pragma once

inline constexpr int KYL_Exit_Success = 0;
inline constexpr int KYL_Exit_Failure = 1;  // a command line not understood, or a file or memory failure
inline constexpr int KYL_Exit_Damaged = 2;  // damaged compressed input
