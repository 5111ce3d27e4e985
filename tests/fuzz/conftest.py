"""Property-based fuzzing of both modules.

Run length is chosen with the environment variable HYPOTHESIS_PROFILE: "ci"
(the default) keeps the whole folder well under a minute, "long" is for deep
local runs. The profiles are applied to these tests only (through
`fuzz_support.fuzz_settings`), so loading this folder leaves the settings of
the other suites alone.
"""

import os
import sys

from hypothesis import HealthCheck, settings

sys.path.insert(0, os.path.dirname(__file__))

_COMMON = dict(
    deadline=None,
    print_blob=True,
    # Some examples build deeply nested or megabyte-sized manifests, which is
    # slow under the sanitizer build; that is intended.
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
# Named apart from Hypothesis's own "ci" profile, which it loads by itself
# on CI machines for every suite.
settings.register_profile("fuzz-ci", max_examples=100, database=None, **_COMMON)
settings.register_profile("fuzz-long", max_examples=5000, **_COMMON)
