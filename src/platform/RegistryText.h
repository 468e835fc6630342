#pragma once

// The REGEDIT4 text form of the settings store, as the Windows registry editor writes it,
// so that a user can back up, edit and restore every setting. Key class strings, which
// that form has no place for, travel in a comment line under the key (";Class: NAME"),
// which the registry editor passes over.

#include <string>

#include "platform/Registry.h"

// Writes key (a path below HKEY_LOCAL_MACHINE, empty for the whole store) and its subtree.
LONG ExportRegistry(const std::string& keyPath, std::string* text);

// Applies a REGEDIT4 text to the current store, in one transaction: a text that is refused,
// when read or when written, changes nothing. A fault gives false and "line N: reason" (or
// "cannot ..." for the store) in error. A text that is not UTF-8 is read as Windows-1252,
// the code page the registry editor writes it in; a UTF-8 byte-order mark is passed over.
bool ImportRegistry(const std::string& text, std::string* error);

// "HKEY_LOCAL_MACHINE\A\B", "HKLM\A\B" or (unless requireRoot) "A\B" -> "A\B". False
// for another root key, by its long name (HKEY_...) or its short one (HKCU, HKCR, ...).
bool StripRootName(const std::string& key, std::string* path, bool requireRoot = false);

// Formatting used by quorvane-reg query.
std::string RegistryTypeName(DWORD type);
std::string FormatRegistryData(DWORD type, const Bytes& data);
