// The process-wide objects of the delivery service library.
//
// They come into being together, in this order: the service object (MailService), the
// service log, the configuration key; they go in the reverse order. They are built at their
// first use (never while the library is being loaded), once, on whichever thread comes
// first; so a program can also redirect HKEY_LOCAL_MACHINE before it first uses them.
#pragma once
#include <memory>
#include "core.h"
#include "qlbase.h"
#include "Runlog.h"

namespace Postvane {

extern const char kMailKeyPath[];  // Software\Quillet\Pennark\Kiosk\Mail, under HKEY_LOCAL_MACHINE
extern const char kSmtpKeyPath[];  // its SMTP subkey
extern const char kVersion[];      // 1.1.0.2

// Builds the process-wide objects now unless they exist.
void CreateProcessObjects();

// The service log shared by every part of the library.
Runlog& ServiceLog();

// The configuration key, opened for reading. When the key did not exist when it was last
// opened, the next use tries again, so that a key created later is seen without a reload.
std::shared_ptr<RegKey> ConfigKey();

// Shorthands for one read of a Mail key value at the moment of use.
string ConfigText(const char* name);
int ConfigNumber(const char* name);
// Whether the Mail key's Disabled switch turns mail off: a number other than 0, or anything
// stored that is not the text of a number (a "yes" means off, not 0). Absent or empty: on.
bool MailDisabled();

// The library's own module handle (null when linked into a program).
HMODULE ModuleHandle();
void SetModuleHandle(HMODULE module);

}  // namespace Postvane
