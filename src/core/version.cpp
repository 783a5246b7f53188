// The program's version and the texts built from it.
#include "core/version.h"

namespace brenvale {

std::string VersionText() {
    return std::to_string(kVersionMajor) + "." + std::to_string(kVersionMinor) + "." +
           std::to_string(kVersionRevision);
}

std::string ProgramTitle() {
    return "Quorvane Brenvale v" + VersionText();
}

std::string UserAgent() {
    return "Quorvane Brenvale/" + VersionText();
}

} // namespace brenvale
