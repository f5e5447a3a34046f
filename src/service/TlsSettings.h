#pragma once
// [TLS] of the INI file: the second port and its certificate files.

#include <string>

#include "server/ServerConfig.h"
#include "service/IniFile.h"

// Reads [TLS] into `options`, file names relative to `directory` unless
// full paths. Empty when the start may go on; otherwise the line that
// refuses it: a port outside 0-65535, a TLS port without a certificate or
// key, or a MinVersion other than 1.2 and 1.3. Whether the files can be
// used is the listener's to find out, when it loads them.
std::string ReadTlsSettings(const TIniFile& ini, const std::string& directory, TTlsOptions& options);
