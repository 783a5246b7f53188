// The program's version and the texts built from it.
#pragma once

#include <string>

namespace brenvale {

inline constexpr int kVersionMajor = 0;
inline constexpr int kVersionMinor = 5;
inline constexpr int kVersionRevision = 6;

/// "0.5.6": the three numbers as plain decimals joined by ".".
std::string VersionText();

/// "Quorvane Brenvale v0.5.6", the main window's title before a configuration is named.
std::string ProgramTitle();

/// "Quorvane Brenvale/0.5.6", the HTTP user agent.
std::string UserAgent();

} // namespace brenvale
