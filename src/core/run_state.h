// The state of a run and the small interfaces through which the core reaches the outside.
#pragma once

#include <cstdint>
#include <string>

namespace brenvale {

/// Run state shared by the runner, the loader and the status display.
struct RunState {
    bool bCancel = false;
    std::int32_t RecordsThisFile = 0;
    std::int32_t RecordsTotal = 0;
    /// Millisecond tick of the last count refresh; carries over from one run to the next.
    std::uint32_t LastCountRefresh = 0;
};

/// The processing options, read at the moment they are used.
class Options {
public:
    virtual ~Options() = default;
    virtual bool TruncateOnStart() const = 0;
    virtual bool TruncateOnInsert() const = 0;
    virtual bool TranslateASCII() const = 0;
};

/// Options held as plain values.
struct FixedOptions final : Options {
    bool truncateOnStart = false;
    bool truncateOnInsert = false;
    bool translateASCII = true;
    bool TruncateOnStart() const override { return truncateOnStart; }
    bool TruncateOnInsert() const override { return truncateOnInsert; }
    bool TranslateASCII() const override { return translateASCII; }
};

/// The status window and the main window as a run drives them.
class StatusDisplay {
public:
    virtual ~StatusDisplay() = default;
    /// Shows the status window in front of the owner and disables the owner, or the reverse.
    virtual void Show() = 0;
    virtual void Hide() = 0;
    virtual void SetOwnerEnabled(bool enabled) = 0;
    virtual void SetStatus(const std::string& text) = 0;
    virtual void SetFilesProcessed(const std::string& text) = 0;
    virtual void SetRecordsInsertedTotal(const std::string& text) = 0;
    virtual void SetRecordsInsertedFile(const std::string& text) = 0;
    virtual void SetProgressMaximum(float value) = 0;
    virtual void SetProgressMinimum(float value) = 0;
    virtual void SetProgressValue(float value) = 0;
    /// How far the current log is read: `done` bytes of `total` (0 when its size is not known:
    /// a pipe, a download without a length); (0, 0) when a new log starts.
    virtual void SetFileProgress(std::uint64_t /*done*/, std::uint64_t /*total*/) {}
};

enum class MessageIcon { None, Critical, Exclamation, Question, Information };

/// Message boxes: a window shows them, a test answers them from a script.
class Prompts {
public:
    virtual ~Prompts() = default;
    /// Asks a Yes/No question; true for Yes.
    virtual bool AskYesNo(MessageIcon icon, const std::string& title, const std::string& text) = 0;
    /// Shows a message with an OK button.
    virtual void Inform(MessageIcon icon, const std::string& title, const std::string& text) = 0;
};

/// Lets pending user-interface events run (Cancel among them).
class Yielder {
public:
    virtual ~Yielder() = default;
    virtual void Yield() = 0;
    /// Notices a cancel that arrived without user-interface events (a signal), where a yield
    /// would be out of place; does nothing in the window.
    virtual void Poll() {}
};

/// A millisecond tick count that wraps at 2^32.
class TickClock {
public:
    virtual ~TickClock() = default;
    virtual std::uint32_t Ticks() = 0;
};

/// The system's monotonic clock in milliseconds.
class SteadyTickClock final : public TickClock {
public:
    std::uint32_t Ticks() override;
};

/// Formats a count with the digit grouping of the user's locale ("1,234,567" in en_US).
std::string FormatCount(std::int32_t value);

} // namespace brenvale
