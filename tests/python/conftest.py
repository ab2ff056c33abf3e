"""Shared test settings: hypothesis runs are reproducible and bounded so CI (including the
sanitizer build, which is several times slower) stays deterministic and within its time."""

import os

from hypothesis import HealthCheck, settings

settings.register_profile("ci", derandomize=True, database=None, deadline=None, max_examples=100,
                          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.register_profile("explore", max_examples=2000, deadline=None)
settings.load_profile(os.environ.get("TALLOWMERE_HYPOTHESIS_PROFILE", "ci"))
