// The console line of one record, for people reading a terminal:
//
//   <timestamp> [<LEVEL padded to 8>] <message>  key=value  key=value
//     <stack lines>
//     <exception lines>
//
// With `colors`, the bracketed level is preceded by the level's colour
// (DEBUG dim, WARN yellow, ERROR red, CRITICAL bold red, none otherwise)
// and always followed by a reset. The logger and service texts are not
// shown; fields named level, logger, message, severity and timestamp are
// never shown, a field "stack" only when no stack text is given, and an
// "exception" string field is shown as the last block. The line has no
// trailing newline.
//
// Redaction as for the JSON line (build_record_root, record texts). Pure
// function over values the call owns; the settings are only read.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/render/redaction.h"
#include "core/value/value.h"

namespace vorlisk {

std::string render_console_line(FieldMap fields, std::string_view level, std::string_view message,
                                bool colors, std::string_view timestamp,
                                const RedactionSettings& settings,
                                std::optional<std::string_view> stack);

}  // namespace vorlisk
