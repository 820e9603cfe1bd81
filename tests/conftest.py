import pathlib
import sys

# Tests import the freshly built extension from the build tree, which ctest
# puts on PYTHONPATH; fail early with a clear message when it is missing.
try:
    import vorlisk._rust  # noqa: F401
except ImportError as exc:  # pragma: no cover - environment problem
    raise SystemExit(f"vorlisk._rust is not importable ({exc}); run `make test`") from exc

TESTS_DIR = pathlib.Path(__file__).parent
sys.path.insert(0, str(TESTS_DIR))

# Property tests keep no example database: runs are reproducible from the
# seed hypothesis prints, and nothing is written into the source tree.
try:
    import hypothesis
except ImportError:  # pragma: no cover
    pass
else:
    hypothesis.settings.register_profile("vorlisk", database=None)
    hypothesis.settings.load_profile("vorlisk")
