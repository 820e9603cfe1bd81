// Module functions over the core's levels and redaction constants, so that
// the package's Python layer and the native core agree on level names,
// syslog severities, the default sensitive keys and the marker key.
#pragma once

#include "py/glue/python.h"

namespace vorlisk::py {

extern PyMethodDef kVersionFunction;                   // version()
extern PyMethodDef kNormalizeLevelFunction;            // normalize_level(level)
extern PyMethodDef kSyslogSeverityFunction;            // syslog_severity(canonical_level)
extern PyMethodDef kNormalizedSyslogSeverityFunction;  // normalized_syslog_severity(level)
extern PyMethodDef kLevelTableFunction;                // level_table()
extern PyMethodDef kDefaultSensitiveKeysFunction;      // _default_sensitive_keys()
extern PyMethodDef kRedactedMarkerKeyFunction;         // _redacted_marker_key()

}  // namespace vorlisk::py
