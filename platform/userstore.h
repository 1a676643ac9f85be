// The per-user typed key-value store that stands in for the Windows registry.
//
// A key is a path such as "Software\Quillon\Zelto Bookmarks\SystemLog" (compared without
// regard to case); each key holds named values that are strings or 32-bit numbers. The store
// is one file, "registry.ini", in the per-user folder (see ConfigDirectory), written
// atomically under an advisory lock like a profile file. Keys exist once created, even empty.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qn::platform::userstore {

enum class ValueType : uint32_t { String = 1, Number = 4 };

struct Value {
    ValueType type = ValueType::String;
    std::string text;     // for String
    uint32_t number = 0;  // for Number
};

// Creates the key when missing. False when the store cannot be written.
bool CreateKey(const std::string& strKey);
bool KeyExists(const std::string& strKey);
std::optional<Value> GetValue(const std::string& strKey, const std::string& strName);
// Creates the key when missing. False when the store cannot be written.
bool SetValue(const std::string& strKey, const std::string& strName, const Value& value);
// True when the value existed and is gone.
bool DeleteValue(const std::string& strKey, const std::string& strName);
// Value names of a key in the order they were first written; empty for a missing key.
std::vector<std::string> ListValues(const std::string& strKey);

// The path of the store's file.
std::string StorePath();

}  // namespace qn::platform::userstore
