#include "QbRegCommand.h"

#include <functional>
#include <optional>
#include <string_view>

#include "QbRegData.h"
#include "common/base/TextUtil.h"
#include "common/registry/RegistryStore.h"

namespace qbreg {
namespace {

using km::THive;
using km::TRegistryStore;

constexpr const char* kNotFound =
    "ERROR: The system was unable to find the specified registry key or value.";

// Argument errors, reported before anything is touched.
struct TSyntaxError {
    std::string message;
};

enum class TOperation { Query, Add, Delete };

struct TCommand {
    TOperation operation = TOperation::Query;
    THive hive = THive::HKEY_CURRENT_USER;
    std::string key;                       // below the hive, without leading or trailing backslash
    std::optional<std::string> valueName;  // /v NAME, or "" for /ve
    bool allValues = false;                // /va
    bool recursive = false;                // query /s
    std::optional<std::string> type;       // /t
    std::optional<std::string> data;       // /d
    std::optional<std::string> separator;  // add /s
    bool force = false;                    // /f
};

bool IsHelp(std::string_view arg) {
    return arg == "/?" || arg == "-?" || arg == "-h" || arg == "--help" || arg == "/h";
}

const char* HiveName(THive hive) {
    return hive == THive::HKEY_CURRENT_USER ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE";
}

std::string KeyName(THive hive, const std::string& key) {
    return key.empty() ? HiveName(hive) : std::string(HiveName(hive)) + "\\" + key;
}

void ParseKey(std::string_view text, TCommand& command) {
    const size_t slash = text.find('\\');
    const std::string_view hive = text.substr(0, slash);
    if (km::SameTextAscii(hive, "HKCU") || km::SameTextAscii(hive, "HKEY_CURRENT_USER")) {
        command.hive = THive::HKEY_CURRENT_USER;
    } else if (km::SameTextAscii(hive, "HKLM") || km::SameTextAscii(hive, "HKEY_LOCAL_MACHINE")) {
        command.hive = THive::HKEY_LOCAL_MACHINE;
    } else {
        throw TSyntaxError{"ERROR: Invalid key name \"" + std::string(text) +
                           "\": it must begin with HKCU\\ or HKLM\\."};
    }
    std::string_view path = slash == std::string_view::npos ? "" : text.substr(slash + 1);
    if (!path.empty() && path.back() == '\\') {
        path.remove_suffix(1);
    }
    if (path.find("\\\\") != std::string_view::npos || (!path.empty() && path.front() == '\\')) {
        throw TSyntaxError{"ERROR: Invalid key name \"" + std::string(text) + "\"."};
    }
    command.key = std::string(path);
}

std::optional<TCommand> Parse(const std::vector<std::string>& args) {
    if (args.empty()) {
        throw TSyntaxError{"ERROR: Invalid syntax: an operation is needed."};
    }
    if (IsHelp(args[0])) {
        return std::nullopt;
    }
    TCommand command;
    const std::string& op = args[0];
    if (km::SameTextAscii(op, "query")) {
        command.operation = TOperation::Query;
    } else if (km::SameTextAscii(op, "add")) {
        command.operation = TOperation::Add;
    } else if (km::SameTextAscii(op, "delete")) {
        command.operation = TOperation::Delete;
    } else {
        throw TSyntaxError{"ERROR: Invalid syntax: unknown operation \"" + op + "\"."};
    }
    for (const std::string& arg : args) {
        if (IsHelp(arg)) {
            return std::nullopt;
        }
    }
    if (args.size() < 2 || args[1].empty() || args[1][0] == '/' || args[1][0] == '-') {
        throw TSyntaxError{"ERROR: Invalid syntax: a key is needed."};
    }
    ParseKey(args[1], command);

    const bool query = command.operation == TOperation::Query;
    const bool add = command.operation == TOperation::Add;
    const bool remove = command.operation == TOperation::Delete;
    bool nameGiven = false;
    for (size_t i = 2; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const auto next = [&]() -> std::string {
            if (i + 1 >= args.size()) {
                throw TSyntaxError{"ERROR: Invalid syntax: " + arg + " needs a value."};
            }
            return args[++i];
        };
        const auto once = [&](bool already) {
            if (already) {
                throw TSyntaxError{"ERROR: Invalid syntax: " + arg + " is given twice."};
            }
        };
        const auto is = [&](const char* option) {
            return arg.size() == std::string_view(option).size() && arg[0] == '-'
                       ? km::SameTextAscii(arg.substr(1), option + 1)
                       : km::SameTextAscii(arg, option);
        };
        if (is("/v") || is("/ve") || (remove && is("/va"))) {
            if (nameGiven) {
                throw TSyntaxError{"ERROR: Invalid syntax: use only one of /v, /ve and /va."};
            }
            nameGiven = true;
            if (is("/va")) {
                command.allValues = true;
            } else {
                command.valueName = is("/v") ? next() : std::string();
            }
        } else if (query && is("/s")) {
            once(command.recursive);
            command.recursive = true;
        } else if (add && is("/s")) {
            once(command.separator.has_value());
            command.separator = next();
            if (command.separator->empty()) {
                throw TSyntaxError{"ERROR: Invalid syntax: the separator must not be empty."};
            }
        } else if (add && is("/t")) {
            once(command.type.has_value());
            command.type = next();
        } else if (add && is("/d")) {
            once(command.data.has_value());
            command.data = next();
        } else if ((add || remove) && is("/f")) {
            once(command.force);
            command.force = true;
        } else {
            throw TSyntaxError{"ERROR: Invalid syntax: unexpected argument \"" + arg + "\"."};
        }
    }
    if (add && !command.valueName && (command.type || command.data || command.separator)) {
        throw TSyntaxError{"ERROR: Invalid syntax: /t, /d and /s need /v or /ve."};
    }
    if (remove && command.key.empty() && !nameGiven) {
        throw TSyntaxError{"ERROR: Invalid key name: a whole hive cannot be deleted."};
    }
    return command;
}

std::string ValueLine(const km::TRegNamedValue& value) {
    return "    " + (value.Name.empty() ? std::string("(Default)") : value.Name) + "    " +
           TypeName(value.Value.Type) + "    " + FormatData(value.Value) + "\n";
}

std::string WriteError(THive hive) {
    return "ERROR: Access is denied: the registry hive \"" + km::RegistryHiveFile(hive).string() +
           "\" cannot be written.";
}

// The value with its name as stored.
std::optional<km::TRegNamedValue> FindValue(TRegistryStore& store, km::TRegKeyId key,
                                            const std::string& name) {
    for (auto& value : store.Values(key).value_or(std::vector<km::TRegNamedValue>{})) {
        if (km::SameText(value.Name, name)) {
            return std::move(value);
        }
    }
    return std::nullopt;
}

int Query(const TCommand& command, std::ostream& out, std::ostream& err) {
    TRegistryStore store(command.hive, TRegistryStore::TAccess::Read);
    const auto key = store.OpenKey(command.key);
    if (!key) {
        err << kNotFound << "\n";
        return 1;
    }
    if (!command.recursive) {
        if (command.valueName) {
            const auto value = FindValue(store, *key, *command.valueName);
            if (!value) {
                err << kNotFound << "\n";
                return 1;
            }
            out << "\n" << KeyName(command.hive, command.key) << "\n" << ValueLine(*value) << "\n";
            return 0;
        }
        const auto values = store.Values(*key);
        const auto subKeys = store.SubKeys(*key);
        if (!values || !subKeys) {
            err << kNotFound << "\n";
            return 1;
        }
        out << "\n" << KeyName(command.hive, command.key) << "\n";
        for (const auto& value : *values) {
            out << ValueLine(value);
        }
        if (!subKeys->empty()) {
            out << "\n";
        }
        for (const auto& name : *subKeys) {
            out << KeyName(command.hive, command.key) << "\\" << name << "\n";
        }
        return 0;
    }
    // Recursive: every key of the tree with its values, or with /v only the
    // keys that hold that value.
    int matches = 0;
    const std::function<void(km::TRegKeyId, const std::string&)> walk =
        [&](km::TRegKeyId id, const std::string& path) {
            const std::string shown = KeyName(command.hive, path);
            if (command.valueName) {
                if (const auto value = FindValue(store, id, *command.valueName)) {
                    ++matches;
                    out << "\n" << shown << "\n" << ValueLine(*value);
                }
            } else {
                out << "\n" << shown << "\n";
                for (const auto& value :
                     store.Values(id).value_or(std::vector<km::TRegNamedValue>{})) {
                    out << ValueLine(value);
                }
            }
            for (const auto& name : store.SubKeys(id).value_or(std::vector<std::string>{})) {
                const std::string child = path.empty() ? name : path + "\\" + name;
                if (const auto childId = store.OpenKey(child)) {
                    walk(*childId, child);
                }
            }
        };
    walk(*key, command.key);
    if (command.valueName) {
        if (matches == 0) {
            err << kNotFound << "\n";
            return 1;
        }
        out << "\nEnd of search: " << matches << " match(es) found.\n";
    }
    return 0;
}

int Add(const TCommand& command, std::ostream& out, std::ostream& err) {
    std::optional<km::TRegValue> value;
    if (command.valueName) {
        const std::string typeName = command.type.value_or("REG_SZ");
        const auto type = TypeFromName(typeName);
        if (!type) {
            err << "ERROR: Invalid type \"" << typeName
                << "\"; use REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD, "
                   "REG_BINARY or REG_NONE.\n";
            return 1;
        }
        std::string reason;
        const auto data =
            ParseData(*type, command.data.value_or(""), command.separator.value_or("\\0"), reason);
        if (!data) {
            err << "ERROR: Invalid data for " << TypeName(*type) << ": " << reason << ".\n";
            return 1;
        }
        value = km::TRegValue{*type, *data};
    }
    TRegistryStore store(command.hive, TRegistryStore::TAccess::Write);
    const auto key = store.CreateKey(command.key);
    if (!key || (value && !store.WriteValue(*key, *command.valueName, *value))) {
        err << WriteError(command.hive) << "\n";
        return 1;
    }
    out << "The operation completed successfully.\n";
    return 0;
}

int Delete(const TCommand& command, std::ostream& out, std::ostream& err) {
    // Absence is told apart from a hive that may not be written by looking first.
    {
        TRegistryStore reader(command.hive, TRegistryStore::TAccess::Read);
        const auto key = reader.OpenKey(command.key);
        if (!key || (command.valueName && !reader.ReadValue(*key, *command.valueName))) {
            err << kNotFound << "\n";
            return 1;
        }
    }
    TRegistryStore store(command.hive, TRegistryStore::TAccess::Write);
    const auto key = store.OpenKey(command.key);
    bool done = key.has_value();
    if (done && command.valueName) {
        done = store.DeleteValue(*key, *command.valueName);
    } else if (done && command.allValues) {
        const auto values = store.Values(*key);
        done = values.has_value();
        for (const auto& value : values.value_or(std::vector<km::TRegNamedValue>{})) {
            done = store.DeleteValue(*key, value.Name) && done;
        }
    } else if (done) {
        done = store.DeleteKey(*key);
    }
    if (!done) {
        err << WriteError(command.hive) << "\n";
        return 1;
    }
    out << "The operation completed successfully.\n";
    return 0;
}

}  // namespace

std::string Usage() {
    return R"usage(Usage:
  qbreg query  KEY [/v NAME | /ve] [/s]
  qbreg add    KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]
  qbreg delete KEY [/v NAME | /ve | /va] [/f]

KEY       HKCU\path or HKLM\path (also HKEY_CURRENT_USER\ and
          HKEY_LOCAL_MACHINE\); hive and key names in any letter case.
/v NAME   the value NAME;  /ve  the default value (shown as "(Default)").
/va       delete: every value of the key (the key and its subkeys stay).
          delete without /v, /ve or /va deletes the key with its subkeys.
/s        query: the key and all its subkeys; with /v, search that value.
          add: the separator of REG_MULTI_SZ strings (default \0).
/t TYPE   REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD,
          REG_QWORD, REG_BINARY, REG_NONE.
/d DATA   REG_DWORD and REG_QWORD: decimal or 0x hex; REG_MULTI_SZ: strings
          separated by \0, e.g. "a\0b"; REG_BINARY and REG_NONE: hex digits,
          e.g. 0A1B.
/f        accepted for compatibility. qbreg never asks: without /f, add
          overwrites an existing value and delete deletes, as if confirmed
          (installers and test runs have no terminal to answer on).

Hive files: KM_REGISTRY_DIR, else ~/.config/kelmirath/registry (HKCU) and
/var/lib/kelmirath/registry (HKLM). KM_REGISTRY_READONLY=HKLM makes a hive
read-only. Exit code 0 on success, 1 with a message on standard error.
)usage";
}

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::optional<TCommand> command;
    try {
        command = Parse(args);
    } catch (const TSyntaxError& e) {
        err << e.message << "\nType \"qbreg --help\" for usage.\n";
        return 1;
    }
    if (!command) {
        out << Usage();
        return 0;
    }
    switch (command->operation) {
        case TOperation::Query:
            return Query(*command, out, err);
        case TOperation::Add:
            return Add(*command, out, err);
        case TOperation::Delete:
            return Delete(*command, out, err);
    }
    return 1;
}

}  // namespace qbreg
