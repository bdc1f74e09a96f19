#!/bin/sh
# Installed beside the executable as 3rdparty/ffmpeg. The device presets are
# written for an older converter; this maps the options that the installed
# ffmpeg no longer takes to their present equivalents, then runs it. Exit
# code and standard error are ffmpeg's own (exec keeps the process).
#
#   -acodec libvo_aacenc  ->  -acodec aac    (encoder removed; the native one)
#   -sameq                ->  -q:v 2         (option removed; a fixed high quality)
#   -b <rate>             ->  -b:v <rate>    (the bare form is ambiguous now)
#
# File names (the value of -i and the last argument) pass unchanged, so a
# path that happens to read like an option is never rewritten.
#
# VENDRAX_FFMPEG names another converter. A converter that is not there ends
# this with code 127 (as a shell does for a command it cannot find) before
# anything else happens; the application checks for it before starting this
# launcher.

converter=${VENDRAX_FFMPEG:-@VENDRAX_INSTALLED_FFMPEG@}

if [ ! -f "$converter" ] || [ ! -x "$converter" ]; then
    echo "ffmpeg launcher: $converter is not installed" >&2
    exit 127
fi

count=$#
previous=
while [ "$count" -gt 0 ]; do
    argument=$1
    shift
    count=$((count - 1))
    if [ "$previous" = "-i" ] || [ "$count" -eq 0 ]; then
        set -- "$@" "$argument"
    elif [ "$previous" = "-acodec" ] && [ "$argument" = "libvo_aacenc" ]; then
        set -- "$@" aac
    elif [ "$argument" = "-sameq" ]; then
        set -- "$@" -q:v 2
    elif [ "$argument" = "-b" ]; then
        set -- "$@" -b:v
    else
        set -- "$@" "$argument"
    fi
    previous=$argument
done

exec "$converter" "$@"
