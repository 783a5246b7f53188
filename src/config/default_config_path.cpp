// Where the configuration file lives when none is named.
#include "config/default_config_path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace brenvale {

namespace fs = std::filesystem;

namespace {

std::string Variable(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

/// The per-user configuration folder, or empty when the environment names none.
fs::path UserConfigFolder(const UserFolders& user) {
    // A relative XDG_CONFIG_HOME is to be ignored, not resolved against the current folder.
    if (!user.xdgConfigHome.empty() && user.xdgConfigHome.front() == '/')
        return fs::path(user.xdgConfigHome) / "brenvale";
    if (!user.home.empty() && user.home.front() == '/')
        return fs::path(user.home) / ".config" / "brenvale";
    return {};
}

} // namespace

UserFolders UserFoldersFromEnvironment() {
    return {Variable("XDG_CONFIG_HOME"), Variable("HOME")};
}

bool ProgramFolderHoldsConfig(const std::string& programFolder) {
    if (programFolder.empty())
        return false;
    const fs::path folder = fs::path(programFolder).lexically_normal();
    for (const char* system : {"/bin", "/usr/bin", "/usr/local/bin"})
        if (folder == fs::path(system) || folder == fs::path(system) / "")
            return false;
    return ::access(programFolder.c_str(), W_OK) == 0;
}

std::string DefaultConfigPath(const std::string& programFolder, const UserFolders& user) {
    std::string beside = programFolder + "/config.xml";
    if (ProgramFolderHoldsConfig(programFolder))
        return beside;
    const fs::path folder = UserConfigFolder(user);
    return folder.empty() ? beside : (folder / "config.xml").string();
}

std::string PrepareDefaultConfigPath(const std::string& programFolder) {
    const UserFolders user = UserFoldersFromEnvironment();
    std::string path = DefaultConfigPath(programFolder, user);
    const fs::path folder = UserConfigFolder(user);
    if (folder.empty() || fs::path(path).parent_path() != folder)
        return path;
    // Each missing level is created private to the user, as the base directory rules ask.
    fs::path partial;
    for (const fs::path& part : folder) {
        partial /= part;
        (void)::mkdir(partial.c_str(), 0700);
    }
    return path;
}

} // namespace brenvale
