#!/bin/sh
# Installed beside the executable as 3rdparty/ffprobe: the installed media
# probe, with the same arguments, output and exit code.
exec /usr/bin/ffprobe "$@"
