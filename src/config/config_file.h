// The XML-looking configuration file: its writer, its reader and the plain tag search they share.
#pragma once

#include "core/job.h"
#include "core/run_state.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace brenvale {

/// Every text between `openTag` and the next `closeTag` (searched from one character after the
/// opening tag's start), in order; empty when nothing is found. Tags include their brackets. The
/// search goes on one character into the closing tag, so its remainder is searched again.
std::vector<std::string> GetTagContents(std::string_view source, std::string_view openTag,
                                        std::string_view closeTag);

/// What the configuration file reads from and writes to: the main window, or a plain holder.
class ConfigSubject {
public:
    virtual ~ConfigSubject() = default;
    /// The DSN box's text (possibly empty).
    virtual std::string DsnText() const = 0;
    /// Puts a stored DSN name back: a listed name is selected (which opens the connection, with
    /// its own message on failure); an unlisted one leaves the box as it was.
    virtual void SelectDsn(const std::string& name) = 0;
    virtual bool TruncateOnStart() const = 0;
    virtual bool TruncateOnInsert() const = 0;
    virtual bool TranslateASCII() const = 0;
    virtual void SetTruncateOnStart(bool on) = 0;
    virtual void SetTruncateOnInsert(bool on) = 0;
    virtual void SetTranslateASCII(bool on) = 0;
    /// Rows per transaction; 1 (row by row) is not written to the file.
    virtual std::size_t CommitRows() const { return 1; }
    virtual void SetCommitRows(std::size_t /*rows*/) {}
    virtual void SetTitle(const std::string& title) = 0;
    virtual JobList& Jobs() = 0;
    virtual Prompts& MessageBoxes() = 0;
};

/// Writes the configuration to `path` (empty: `configPath`, written back into `path`). The file
/// is written beside the target and renamed over it only when complete, so a failed save leaves
/// the earlier file whole. False with `error` set (a sentence naming the path and the system's
/// reason) on failure; nothing is shown.
bool SaveConfig(std::string& path, const std::string& configPath, ConfigSubject& subject,
                std::string& error);

/// Loads the configuration at `configfile` (empty: `configPath`, written back). A missing file
/// shows "Configuration File Missing" unless `bSilent`, and changes nothing. Otherwise replaces
/// the jobs and options, the DSN when named, sets the title and
/// `configPath`; an unreadable file loads as empty. Text that is not UTF-8 is read as
/// Windows-1252. Returns false only for a missing file.
bool LoadConfig(std::string& configfile, bool bSilent, std::string& configPath,
                ConfigSubject& subject);

} // namespace brenvale
