"""The region channel under real locales, compiled into a private locale directory."""

import pytest

from conftest import REGION


@pytest.mark.parametrize("environment, expected", [
    ({"LC_ALL": "de_DE.UTF-8"}, "DE"),
    ({"LC_ALL": "sr_RS.UTF-8@latin"}, "RS"),
    ({"LC_ALL": "en_US.UTF-8"}, "US"),
    ({"LC_ALL": "C"}, None),
    ({"LC_ALL": "POSIX"}, None),
    ({"LC_ALL": "C.UTF-8"}, None),
    ({"LANG": "de_DE.UTF-8", "LC_NUMERIC": "en_US.UTF-8"}, "US"),
    ({"LANG": "en_US.UTF-8", "LC_NUMERIC": "de_DE.UTF-8"}, "DE"),
    ({"LC_NUMERIC": "de_DE.UTF-8", "LC_ALL": "en_US.UTF-8"}, "US"),
], ids=lambda v: str(v))
def test_region_is_the_country_of_the_numeric_locale(launcher, locales, environment, expected):
    app = launcher.start_ready(env=dict(environment, LOCPATH=locales))
    assert app.ui.invoke(REGION, "region").result == expected


def test_other_methods_are_not_implemented(launcher):
    app = launcher.start_ready()
    assert type(app.ui.invoke(REGION, "locale")).__name__ == "NotImplementedReply"
