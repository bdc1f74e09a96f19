#!/bin/sh
# Installed beside the executable as 3rdparty/ffprobe: the installed media
# probe, with the same arguments, output and exit code. VENDRAX_FFPROBE names
# another probe. A probe that is not there ends this with code 127 (as a
# shell does for a command it cannot find) before anything else happens;
# the application checks for it before starting this launcher.

probe=${VENDRAX_FFPROBE:-@VENDRAX_INSTALLED_FFPROBE@}

if [ ! -f "$probe" ] || [ ! -x "$probe" ]; then
    echo "ffprobe launcher: $probe is not installed" >&2
    exit 127
fi

exec "$probe" "$@"
