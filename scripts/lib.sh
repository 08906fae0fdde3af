# What the scripts in scripts/ and the test scripts under tests/ share: their usage and options, the
# cache values of a build folder, one style of result line and of giving up, temporary folders and
# servers that go on every exit, waiting for a server to listen, making a build's packages. Sourced by
# each script, never run; sourcing it only defines. It is bash: the one script that runs on the
# emulated board's busybox shell, tests/kernel/run_cases.sh, judges nothing and does without it.

# The running script's usage: its header comment, from the line after "#!" to the first line that is
# not a comment. Read with the shell alone, so that asking for help starts nothing.
usage() {
    local line
    while IFS= read -r line; do
        [[ $line == '#!'* ]] && continue
        [[ $line == '#'* ]] || break
        line=${line#\#}
        printf '%s\n' "${line# }"
    done <"$0"
}

# -h or --help among the words (before a "--"): the usage on standard output, status 0, nothing else.
help_option() {
    local word
    for word in "$@"; do
        [[ $word == -- ]] && return 0
        if [[ $word == -h || $word == --help ]]; then
            usage
            exit 0
        fi
    done
    return 0
}

# A use the script does not take: what was wrong and the usage on standard error, status 2.
bad_use() { # message
    printf '%s: %s\n' "${0##*/}" "$1" >&2
    usage >&2
    exit 2
}

# What stops the script before its end, a tool or an input it cannot do without: MESSAGE on standard
# error, as it is (where its reader needs the script's name, the message carries it), then exit STATUS.
give_up() { # status message
    printf '%s\n' "$2" >&2
    exit "$1"
}

# For a script that takes no options: -h/--help answered, any other word that starts with "-" refused.
no_options() {
    help_option "$@"
    local word
    for word in "$@"; do
        [[ $word == -- ]] && return 0
        [[ $word == -* ]] && bad_use "unknown option $word"
    done
    return 0
}

# For a script that takes nothing at all.
no_arguments() {
    no_options "$@"
    (($# == 0)) || bad_use "takes no arguments: $*"
}

# The value of cache entry NAME in BUILD_DIR/CMakeCache.txt; nothing when the folder or entry is missing.
cache_value() { # build_dir name
    local line
    [[ -f $1/CMakeCache.txt ]] || return 0
    while IFS= read -r line; do
        if [[ $line == "$2":*=* ]]; then
            printf '%s\n' "${line#*=}"
            return 0
        fi
    done <"$1/CMakeCache.txt"
    return 0
}

# One style of result line: "ok WHAT" and "FAIL WHAT"; fail counts in $failures.
failures=0
pass() { printf 'ok %s\n' "$*"; }
fail() {
    printf 'FAIL %s\n' "$*"
    failures=$((failures + 1))
}
# The last line: exit status 1 after any failure ("N failed: WHAT"), else "all passed: WHAT".
finish() { # what
    if ((failures)); then
        printf '%d failed: %s\n' "$failures" "$1"
        exit 1
    fi
    printf 'all passed: %s\n' "$1"
}

# What goes on every exit of the script, by error, signal or its end: temporary folders removed and
# background servers ended, the latest first.
lib_on_exit=()
lib_run_on_exit() {
    local todo=("${lib_on_exit[@]}") i
    lib_on_exit=()
    for ((i = ${#todo[@]} - 1; i >= 0; i--)); do eval "${todo[i]}"; done
}
on_exit() { # command
    lib_on_exit+=("$1")
    trap lib_run_on_exit EXIT
    trap 'exit 129' HUP
    trap 'exit 130' INT
    trap 'exit 143' TERM
}

# temp_dir VAR: a fresh folder, named in VAR, removed with its contents on every exit.
temp_dir() { # var
    local dir command
    dir=$(mktemp -d)
    printf -v "$1" '%s' "$dir"
    printf -v command 'rm -rf -- %q' "$dir"
    on_exit "$command"
}

# Whether the server PID has written "listening" to OUTPUT within LIMIT seconds; false as soon as it
# has ended without.
wait_listening() { # pid output limit
    local tries=$(($3 * 10)) line
    while ((tries-- > 0)); do
        if [[ -f $2 ]]; then
            while IFS= read -r line; do [[ $line == *listening* ]] && return 0; done <"$2"
        fi
        kill -0 "$1" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

# start_server VAR OUTPUT LIMIT COMMAND...: the server in the background, its process in VAR, its
# standard output and error in OUTPUT, once it says it is listening (false when it does not within
# LIMIT seconds). It is ended by stop_server, or on any exit of the script.
start_server() { # var output limit command...
    local var=$1 output=$2 limit=$3
    shift 3
    "$@" </dev/null >"$output" 2>&1 &
    local pid=$!
    printf -v "$var" '%s' "$pid"
    on_exit "stop_server $pid"
    wait_listening "$pid" "$output" "$limit"
}
stop_server() { # pid
    local i
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
    for i in "${!lib_on_exit[@]}"; do
        [[ ${lib_on_exit[i]} == "stop_server $1" ]] && unset 'lib_on_exit[i]'
    done
    lib_on_exit=("${lib_on_exit[@]}")
}

# make_packages BUILD_DIR OUT_DIR: the packages of a build, its Debian packages and tarballs as
# cmake/packaging.cmake describes them, made in OUT_DIR (which may be BUILD_DIR) from what the build has
# built. The one way the scripts and the tests make packages, so that the packages they check are the
# ones they ship; the build's "package" target runs the same cpack after building. What cpack said is
# in OUT_DIR/cpack.log, and on standard output when it fails.
make_packages() { # build_dir out_dir
    mkdir -p "$2"
    if ! cpack --config "$1/CPackConfig.cmake" -B "$2" >"$2/cpack.log" 2>&1; then
        cat "$2/cpack.log"
        return 1
    fi
}

# The cases of a case table: its lines without the comments and the blank ones. Each case is one line of
# words: the case's name first, its command last (the rest of the line); "-" stands for nothing.
table_cases() { # file
    local line
    while IFS= read -r line || [[ -n $line ]]; do
        [[ $line == '#'* || -z ${line//[[:space:]]/} ]] && continue
        printf '%s\n' "$line"
    done <"$1"
}
