"""One harness for the real program: the POSIX build in the foreground and the Windows build as a service
under Wine, against the contract-server simulator and printers on loopback.

python3 standard library only. Everything a scene starts (printer agents, responders, the simulator, the
service, a Wine prefix's wineserver) is stopped by process id (or, for Wine, for its own prefix only) when
the scene closes, also when a test fails half way. Every wait has a time limit.

    with Scene() as scene:
        fleet = scene.start_fleet(3)
        printers = PrinterList()
        for printer in fleet.printers:
            printers.add_agent(fleet, printer)
        printers.add_unresolvable()
        server = scene.start_server(printers)
        service = scene.start_service(BINARY)          # runs the audit at once (RunNow)
        service.wait_for_log("Logout TELVA ok", timeout=60)
        service.stop()                                  # SIGTERM, "Service stopped, IP ", exit status 0
        upload = server.uploads()[-1]

Under Wine, `service = scene.install_wine_service(EXE, PREFIX)`, then service.start() (net start) and
service.stop() (net stop) once per audit run, with service.log the prefix's C:\\windows\\temp in cp1252.

Modules:
  base      HarnessError, wait_until, end_process (by pid), /proc facts, UDP ports, MachineLock
  printers  Fleet (tools/printer-fleet), PrinterList, SnmpResponder and BER pieces for crafted answers
  server    ContractServer (tools/contract-server): control(), records(), uploads(), mark()
  logs      DailyLog (POSIX /var/log/telva4-audit/ UTF-8 or a Wine prefix's temp directory, ANSI), log_entries
  config    settings_text, write_config
  notify    NotifySocket, the init system's notification socket
  service   ServiceRunner: NativeService (signals) and WineService (the service manager)
  wine      WinePrefix: prefix creation, its wineserver, bounded Wine tool calls
  scene     Scene: the lock, a temp directory and everything started in it
"""

from .base import (MACHINE_LOCK_PATH, MACHINE_LOCK_SECONDS, REPO, TRAP_PORT, HarnessError, MachineLock,  # noqa: F401
                   end_on_signals, end_process, hold_udp_port, peak_rss_kb, signal_blocked, signal_pending, udp_port_free,
                   wait_udp_port_free, wait_until)
from .config import settings_text, write_config, write_settings  # noqa: F401
from .logs import (POSIX_LOG_DIR, SCHEDULE_NOTE, START_LINE, STAMP, STOP_LINE, WINE_STAMP, DailyLog, line_form_problems,  # noqa: F401
                   log_entries, wine_log_dir)
from .notify import NotifySocket  # noqa: F401
from .printers import (COMMUNITY, CONTRACT, COUNTERS, FLEET_COUNTER_OIDS, FLEET_TOOL, MISSING_OID,  # noqa: F401
                       SILENT_ADDRESS, SUFFIXES, UNRESOLVABLE_HOST, Fleet, PrinterList, SnmpResponder, counter32,
                       counter64, default_oids, get_response, tlv, upload_field_names)
from .scene import Scene  # noqa: F401
from .wine import run_wine_script  # noqa: F401
from .server import PASSWORD, SERVER_TOOL, USER, ContractServer, header_value  # noqa: F401
from .service import (DEFAULT, RUNNING, SIGNALS, SIGPWR, START_STOP_SECONDS, STOPPED, NativeService,  # noqa: F401
                      ServiceRunner, WineService)

# The name the benchmarks and the demo use for the foreground program.
Service = NativeService
