// The product library: root path, program files, file loading, protected secrets.
#pragma once
#include "core.h"
#include "qlframe.h"

// ---- Root path and program files ----------------------------------------------------

// The product's root directory: "Root Path" of HKEY_LOCAL_MACHINE "Software\Quillet\Pennark"
// with %VARIABLE% references expanded and a trailing backslash; the empty text when the key
// or the value is absent. The key is opened for reading once per process, at first use; a
// key that did not exist yet is looked for again at the next call.
string GetRootPath();

// Where a file that ships with the product is: the name itself (expanded) when it is
// absolute or exists relative to the current directory, else beside the module (null: the
// host executable), else under the root path, else the name as given. A non-empty topic
// is appended as "::topic" and a non-empty window as ">window" (the HTML Help reference
// form). Never fails.
string FindProgramFile(HMODULE module, const string& fileName, const string& topic, const string& window);

// ---- Whole-file loading -------------------------------------------------------------

// Reads the whole file at path into out (emptied first); other processes may keep reading,
// writing or deleting it meanwhile. False when out is null. Throws FileAccessException
// ("file open error:", path) when the file cannot be opened, FileException when it cannot
// be read or is 4 GB or larger.
bool LoadFile(const string& path, vec<unsigned char>* out);
// The same for an open file, read from its start whatever its position.
bool LoadFile(FilePort& file, vec<unsigned char>* out);

// The whole file as a text of exactly its bytes (NULs included); an empty file gives the
// empty text. Throws as LoadFile does.
string LoadTextFile(const string& path);
string LoadTextFile(FilePort& file);
