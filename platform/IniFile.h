#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

// The settings file, read and written with the rules of the Windows private-profile functions
// that the program used before: names match without regard to ASCII letter case, the first
// section and the first key of a name win, lines are trimmed, one pair of outer quotes is
// taken off a value, ";" starts a comment.
//
// A document holds each section and key once. Parsing keeps only what a lookup can reach:
// comments, keys before the first section header and later sections and keys of a name
// already seen are dropped. Find reports a value as stored; the reading rules (trimming,
// quotes) apply when a file is parsed, as they did when the old program read its file back.
class CIniFile {
public:
    // What Load found at a path. A file that is there but could not be read whole (an I/O
    // error, no permission, a folder in its place) is not the same as no file: its settings
    // are only unknown, and writing over it would lose them.
    struct LoadOutcome {
        bool missing = false;  // nothing at the path (or a folder of it is missing)
        int error = 0;         // errno when something is there that could not be read whole
        bool Unreadable() const { return error != 0; }
    };

    // Reads path as bytes; a missing or unreadable file gives an empty document, and outcome
    // (when given) tells which.
    static CIniFile Load(const std::string& path, LoadOutcome* outcome = nullptr);
    static CIniFile Parse(std::string_view content);

    std::optional<std::string> Find(std::string_view section, std::string_view key) const;
    std::string ReadString(std::string_view section, std::string_view key,
                           const std::string& def) const;
    // Decimal, or hexadecimal after "0x", "0X" or "$"; anything else gives def.
    std::int32_t ReadInteger(std::string_view section, std::string_view key,
                             std::int32_t def) const;
    // Any non-zero integer is true.
    bool ReadBool(std::string_view section, std::string_view key, bool def) const;

    // Sections and keys keep the order of their first write; a second write of a key replaces
    // its value in place. Names and values are cleaned first so that nothing, not even bytes
    // a device sent, can add a line, a key or a section to the file.
    void WriteString(std::string_view section, std::string_view key, std::string_view value);
    void WriteInteger(std::string_view section, std::string_view key, std::int32_t value);
    void WriteBool(std::string_view section, std::string_view key, bool value);

    // "[Section]" and "key=value" lines ended by CR LF, no blank lines.
    std::string Serialize() const;
    // Replaces the file at path with Serialize() so that a crash leaves either the old or the
    // new file whole. Returns false when any step fails: the old file then stays, unless only
    // the final sync of the folder failed after the new file took its place. failure (when
    // given) then says which step failed and why.
    //
    // An installed program may own its settings file but not the folder it lies in, where no
    // temporary can be made. Then an existing file is rewritten in place instead: whole,
    // shortened to the new length, and synced; only that write is not proof against a crash.
    bool Save(const std::string& path, std::string* failure = nullptr) const;

    // Removes what saves of path left behind when their process was killed in the middle:
    // temporaries of processes that no longer run. Returns how many were removed.
    static int RemoveStaleTemporaries(const std::string& path);

    // The integer rules of ReadInteger; nullopt when text is not entirely one int32.
    static std::optional<std::int32_t> DecodeInteger(std::string_view text);

private:
    // ASCII case-insensitive hashing and comparison, usable with string_view lookups.
    struct CNameHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view name) const;
    };
    struct CNameEqual {
        using is_transparent = void;
        bool operator()(std::string_view a, std::string_view b) const;
    };
    using CNameIndex = std::unordered_map<std::string, std::size_t, CNameHash, CNameEqual>;

    struct CEntry {
        std::string key;
        std::string value;
    };
    struct CSection {
        std::string name;
        std::vector<CEntry> entries;
        CNameIndex keys;
    };

    const CSection* FindSection(std::string_view name) const;
    // Adds a section or key unless one of that name is there already. Returns its index and
    // whether it is new.
    std::pair<std::size_t, bool> InsertSection(std::string_view name);
    static std::pair<std::size_t, bool> InsertEntry(CSection& section, std::string_view key);

    std::vector<CSection> sections_;
    CNameIndex sectionIndex_;
};
