# Sourced by the scripts that run Windows programs under Wine: one Wine server stays up until the
# script ends, so no program pays for a cold start in the middle of a run or a measurement. The
# first program started on it also starts Wine's own background services; it gets no output pipe,
# or the services would inherit that pipe and keep whoever reads it waiting for its end.
# Expects $build (the build tree) to be set.
"$build/wine-run" --version >/dev/null
export WINEPREFIX="$PWD/$build/wineprefix"
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
"$build/wine-run" cmd.exe /c exit </dev/null >/dev/null 2>&1
