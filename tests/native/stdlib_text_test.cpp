// format_stdlib_object's contract for callers that keep one StdlibText:
// each outcome, what it leaves in the text, and the error it leaves set.
#include <gtest/gtest.h>

#include "py/conversion/stdlib_objects.h"
#include "tests/native/embedded_python.h"

namespace vorlisk::py::detail {
namespace {

using testing::eval;
using testing::exec;
using testing::take_error;

TEST(StdlibText, OutcomesOnAReusedText) {
  ASSERT_TRUE(exec(
      "import datetime, uuid\n"
      "class Broken(datetime.tzinfo):\n"
      "    def utcoffset(self, dt): raise ValueError('no offset')\n"
      "class Later(datetime.datetime): pass\n"
      "longest = datetime.datetime(9999, 12, 31, 23, 59, 59, 999999, tzinfo=datetime.timezone(\n"
      "    -datetime.timedelta(hours=23, minutes=59, seconds=59, microseconds=999999)))\n"
      "negative = uuid.UUID(int=1)\n"
      "object.__setattr__(negative, 'int', -1)  # past the constructor's check\n"));
  StdlibText text;

  PyRef longest = eval("longest");
  ASSERT_EQ(format_stdlib_object(longest.get(), text), StdlibFormat::formatted);
  EXPECT_EQ(text.view(), "9999-12-31T23:59:59.999999-23:59:59.999999");

  // A shorter text replaces the longer one whole.
  PyRef date = eval("datetime.date(1, 2, 3)");
  ASSERT_EQ(format_stdlib_object(date.get(), text), StdlibFormat::formatted);
  EXPECT_EQ(text.view(), "0001-02-03");

  PyRef identifier = eval("uuid.UUID(int=2**128 - 2)");
  ASSERT_EQ(format_stdlib_object(identifier.get(), text), StdlibFormat::formatted);
  EXPECT_EQ(text.view(), "ffffffff-ffff-ffff-ffff-fffffffffffe");

  // Others leave the text as it was and set no error.
  for (const char* other : {"7", "Later(2020, 1, 2)", "datetime.time(1, 2)", "negative"}) {
    PyRef obj = eval(other);
    ASSERT_TRUE(obj) << other;
    EXPECT_EQ(format_stdlib_object(obj.get(), text), StdlibFormat::not_stdlib) << other;
    EXPECT_EQ(text.view(), "ffffffff-ffff-ffff-ffff-fffffffffffe") << other;
    EXPECT_FALSE(PyErr_Occurred()) << other;
  }

  PyRef broken = eval("datetime.datetime(2020, 1, 2, tzinfo=Broken())");
  EXPECT_EQ(format_stdlib_object(broken.get(), text), StdlibFormat::failed);
  EXPECT_EQ(take_error(), "ValueError: no offset");
}

}  // namespace
}  // namespace vorlisk::py::detail
