// Operating-system error texts in the one form every sink and constructor
// reports: "<description> (os error <number>)".
#pragma once

#include <string>

namespace vorlisk {

std::string os_error_text(int errnum);

}  // namespace vorlisk
