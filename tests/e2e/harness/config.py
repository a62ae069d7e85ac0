"""config.ini, section [SERVIDOR], as the service reads it beside its executable."""

import os

from .printers import CONTRACT
from .server import PASSWORD, USER


def settings_text(server_address, contract=CONTRACT, schedule="99:99", user=USER, password=PASSWORD, extra=None,
                  line_end="\n"):
    """The settings text; schedule 99:99 means only the run at start happens."""
    lines = ["[SERVIDOR]", "contrato=" + contract, "endereco=" + server_address, "horario=" + schedule,
             "user=" + user, "pass=" + password]
    for key, value in (extra or {}).items():
        lines.append("%s=%s" % (key, value))
    return line_end.join(lines) + line_end


def write_settings(path, text, encoding="utf-8"):
    """Writes a settings text as it is (no line-end translation); None writes nothing."""
    if text is not None:
        with open(path, "w", newline="", encoding=encoding) as handle:
            handle.write(text)
        # It holds the password: the service reports a settings file that every user may read.
        os.chmod(path, 0o640)
    return path


def write_config(path, server_address, contract=CONTRACT, schedule="99:99", user=USER, password=PASSWORD,
                 extra=None, line_end="\n", encoding="utf-8"):
    """config.ini with section [SERVIDOR] at path."""
    return write_settings(path, settings_text(server_address, contract, schedule, user, password, extra, line_end),
                          encoding)
