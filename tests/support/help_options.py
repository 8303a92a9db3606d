"""The program's options as its --help shows them: option with argument label, and help
text, in table order, followed by popt's help and usage switches. Shared by the system
tests and the man page test."""

OPTION_ROWS = [
    ("-q, --quiet", "Do not output messages if nothing to be done."),
    ("-l, --log-level=STRING", "Set the log level to one of trace, debug, info, warn, error or fatal."),
    ("-r, --repo=repo-id", "Use the specified repo from the configuration file instead of the default."),
    ("--repo-url=repo-id:url", "Override the URL for a specific repository ID."),
    ("--log-to-stderr", "Output logs to stderr in addition to the outputs in the config file."),
    ("--log-to=file", "Output logs also to the given file (not truncated)"),
    ("-n, --check-only", "Checks and reports if any updates are required, does not update any packages."),
    ("-N, --test", "Tests the updates but does not install them."),
    ("--no-sig-check", "disables checking of package signatures."),
    ("--no-reboot", "Prevent reboot after updates, even if program determines that a reboot is necessary."),
    ("-b, --background", "Background and detach process after initialization."),
    ("-C, --cache-only", "runs from the cache, but required packages are still downloaded."),
    ("--no-cache-clean",
     "prevents the cleaning of cached packages at startup / exit, mostly intended for debugging."),
    ("--check-db-headers",
     "Force checking of package headers in rpm database; these are not checked by default since it is "
     "fairly slow."),
    ("--max-wait-time=seconds",
     "Specifies a maximum wait time before processing starts; the actual wait is a random duration between 0 "
     "and the specified value. Should be greater than zero or negative to disable."),
    ("--lock-timeout=seconds",
     "Specifies the timeout when waiting to obtain the cache lock. Should be greater than zero or negative to "
     "disable."),
    ("--cache-dir=<dir>", "Specify a cache directory other than the default."),
    ("--conf-file=<file>", "Specify a configuration file other than the default '/etc/updater.conf'."),
    ("-?, --help", "Show this help message"),
    ("--usage", "Display brief usage message"),
]
