"""The installer's catalogue for the build tools and tests, read from installer/catalogue.h so
that the program stays its one source: [(BaseName, Extension, Register)] in installation order."""
import os
import re

_HEADER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "installer", "catalogue.h")
_ROW = re.compile(r'\{u"([^"]+)",\s*u"([^"]+)",\s*(true|false)\}')


def _read():
    with open(_HEADER, encoding="utf-8") as f:
        rows = [(b, e, r == "true") for b, e, r in _ROW.findall(f.read())]
    if len(rows) != 11:
        raise RuntimeError("expected 11 catalogue rows in %s, found %d" % (_HEADER, len(rows)))
    return rows


CATALOGUE = _read()
