// Where the configuration file lives when none is named.
#pragma once

#include <string>

namespace brenvale {

/// The environment that decides the per-user folder; an unset variable is empty.
struct UserFolders {
    std::string xdgConfigHome;
    std::string home;
};

/// XDG_CONFIG_HOME and HOME of this process.
UserFolders UserFoldersFromEnvironment();

/// Whether the configuration may be kept beside the program: the user can write to
/// `programFolder`, and it is not one of the system's program folders (/bin, /usr/bin,
/// /usr/local/bin), whose files belong to the package manager even when root could write there.
bool ProgramFolderHoldsConfig(const std::string& programFolder);

/// `programFolder` + "/config.xml" when ProgramFolderHoldsConfig, otherwise
/// "brenvale/config.xml" in XDG_CONFIG_HOME, or in HOME/.config when XDG_CONFIG_HOME is empty or
/// relative. With neither variable usable, the program folder's path all the same.
std::string DefaultConfigPath(const std::string& programFolder, const UserFolders& user);

/// DefaultConfigPath for this process; when the path is the per-user one, also creates its
/// missing folders (mode 0700), so that the first save can succeed. A folder that cannot be
/// created is left for the save to report.
std::string PrepareDefaultConfigPath(const std::string& programFolder);

} // namespace brenvale
