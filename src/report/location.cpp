// Countries of listeners' addresses through libloc or libmaxminddb.
#include "report/location.h"

extern "C" {
#include <libloc/database.h>
#include <libloc/libloc.h>
#include <libloc/network.h>
}
#include <maxminddb.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace brenvale::report {

namespace {

struct CtxRelease {
    void operator()(loc_ctx* ctx) const noexcept { loc_unref(ctx); }
};
struct DatabaseRelease {
    void operator()(loc_database* db) const noexcept { loc_database_unref(db); }
};
struct NetworkRelease {
    void operator()(loc_network* network) const noexcept { loc_network_unref(network); }
};
struct FileClose {
    void operator()(FILE* file) const noexcept { std::fclose(file); }
};

std::string Upper(const char* code) {
    std::string text = code == nullptr ? "" : code;
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

class LocLookup final : public CountryLookup {
public:
    LocLookup(std::unique_ptr<loc_ctx, CtxRelease> ctx, std::unique_ptr<FILE, FileClose> file,
              std::unique_ptr<loc_database, DatabaseRelease> db)
        : ctx_(std::move(ctx)), file_(std::move(file)), db_(std::move(db)) {}

    std::string CountryOf(const std::string& address) override {
        loc_network* found = nullptr;
        if (loc_database_lookup_from_string(db_.get(), address.c_str(), &found) != 0 || !found)
            return {};
        const std::unique_ptr<loc_network, NetworkRelease> network(found);
        return Upper(loc_network_get_country_code(network.get()));
    }

private:
    // Declared in the order they were made, so they are released the other way round.
    std::unique_ptr<loc_ctx, CtxRelease> ctx_;
    std::unique_ptr<FILE, FileClose> file_;
    std::unique_ptr<loc_database, DatabaseRelease> db_;
};

class MaxMindLookup final : public CountryLookup {
public:
    MaxMindLookup() = default;
    MaxMindLookup(const MaxMindLookup&) = delete;
    MaxMindLookup& operator=(const MaxMindLookup&) = delete;
    ~MaxMindLookup() override {
        if (open_)
            MMDB_close(&db_);
    }

    bool Open(const std::string& path, std::string& error) {
        const int status = MMDB_open(path.c_str(), MMDB_MODE_MMAP, &db_);
        if (status != MMDB_SUCCESS) {
            error = "The location database '" + path +
                    "' cannot be opened: " + MMDB_strerror(status) +
                    (status == MMDB_IO_ERROR ? std::string(" (") + std::strerror(errno) + ")"
                                             : std::string()) +
                    ".";
            return false;
        }
        open_ = true;
        return true;
    }

    std::string CountryOf(const std::string& address) override {
        int gaiError = 0;
        int status = MMDB_SUCCESS;
        MMDB_lookup_result_s result = MMDB_lookup_string(&db_, address.c_str(), &gaiError, &status);
        if (gaiError != 0 || status != MMDB_SUCCESS || !result.found_entry)
            return {};
        MMDB_entry_data_s data{};
        // GeoLite2 and GeoIP2 keep the country under country/iso_code; a listener's registered
        // country stands in where that is missing.
        for (const char* group : {"country", "registered_country"}) {
            if (MMDB_get_value(&result.entry, &data, group, "iso_code", nullptr) == MMDB_SUCCESS &&
                data.has_data && data.type == MMDB_DATA_TYPE_UTF8_STRING)
                return Upper(std::string(data.utf8_string, data.data_size).c_str());
        }
        return {};
    }

private:
    MMDB_s db_{};
    bool open_ = false;
};

} // namespace

std::unique_ptr<CountryLookup> OpenLocationDatabase(const std::string& path, std::string& error) {
    loc_ctx* rawCtx = nullptr;
    if (loc_new(&rawCtx) != 0 || rawCtx == nullptr) {
        error = "The location library could not be started.";
        return nullptr;
    }
    std::unique_ptr<loc_ctx, CtxRelease> ctx(rawCtx);
    std::unique_ptr<FILE, FileClose> file(std::fopen(path.c_str(), "r"));
    if (!file) {
        error = "The location database '" + path + "' cannot be opened: " + std::strerror(errno) +
                " (Debian's package libloc-database installs it).";
        return nullptr;
    }
    loc_database* rawDb = nullptr;
    if (loc_database_new(ctx.get(), &rawDb, file.get()) != 0 || rawDb == nullptr) {
        error = "The location database '" + path + "' cannot be read.";
        return nullptr;
    }
    std::unique_ptr<loc_database, DatabaseRelease> db(rawDb);
    return std::make_unique<LocLookup>(std::move(ctx), std::move(file), std::move(db));
}

std::unique_ptr<CountryLookup> OpenMaxMindDatabase(const std::string& path, std::string& error) {
    auto lookup = std::make_unique<MaxMindLookup>();
    if (!lookup->Open(path, error))
        return nullptr;
    return lookup;
}

} // namespace brenvale::report
