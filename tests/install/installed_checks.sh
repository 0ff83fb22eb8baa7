# Checks of an installed tree, shared by the install and package tests.
# Sourced by bash; each function prints what went wrong and returns non-zero.

fail() {
    echo "FAIL: $*" >&2
    return 1
}

# The usage text, byte for byte, must name the configuration path the build
# was made for, and the run must end with status 1.
check_usage() {
    local tarnwell="$1" config="$2" dir status=0
    dir="$(mktemp -d)"
    "$tarnwell" >"$dir/out" 2>&1 || status=$?
    printf '%s\n\n\t%s%s\n\t%s\n\t%s\n\n' \
        "Usage: tarnwell [-c <config file>] -t <tty> [-v] <hex file>" \
        "-c <config file> The path to the config file with the processor info in. Defaults to " "$config" \
        "-t <tty> The path to the serial device that the ICD2 is connect to" \
        "-v Verify the hex file against the device. Without this it programs and verifies" \
        >"$dir/expected"
    if ! diff -u "$dir/expected" "$dir/out" >&2; then
        rm -rf "$dir"
        fail "usage text of $tarnwell"
        return 1
    fi
    rm -rf "$dir"
    [ "$status" -eq 1 ] || fail "$tarnwell without arguments ended with $status, not 1"
}

# The installed icd2sim must find the installed preload library by itself,
# not the one of some build tree: --link prints the library it settled on.
check_preload_found() {
    local icd2sim="$1" root="$2" dir pid line="" tries=0
    dir="$(mktemp -d)"
    "$icd2sim" --link "$dir/tty" >"$dir/env" 2>"$dir/err" &
    pid=$!
    while [ -z "$line" ] && [ $tries -lt 100 ] && kill -0 "$pid" 2>/dev/null; do
        sleep 0.1
        line="$(head -n 1 "$dir/env")"
        tries=$((tries + 1))
    done
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" || true
    cat "$dir/err" >&2
    rm -rf "$dir"
    case "$line" in
        "LD_PRELOAD=$root/"*/libicd2sim_preload.so" "*) return 0 ;;
    esac
    fail "$icd2sim did not settle on a preload library under $root: '$line'"
}

# Runs a command that must end with status 0 and print "Passed".
expect_passed() {
    local out="$1" status=0
    shift
    "$@" >"$out" 2>&1 || status=$?
    if [ "$status" -ne 0 ] || ! grep -q "Passed" "$out"; then
        cat "$out" >&2
        fail "ended with $status: $*"
        return 1
    fi
}

# Programs the example image with the installed programs and files alone,
# then verifies it on a second simulator run that starts from the memory the
# first one left.
check_simulated_run() {
    local bindir="$1" config="$2" examples="$3" dir status=0
    dir="$(mktemp -d)"
    expect_passed "$dir/out" "$bindir/icd2sim" --device "$examples/sim-device.conf" --dump "$dir/memory.hex" \
        -- "$bindir/tarnwell" -c "$config" -t @ "$examples/example.hex" &&
    expect_passed "$dir/out" "$bindir/icd2sim" --device "$examples/sim-device.conf" --load "$dir/memory.hex" \
        -- "$bindir/tarnwell" -c "$config" -t @ -v "$examples/example.hex" || status=1
    rm -rf "$dir"
    return $status
}

# The bash completions load and offer a tty after -t and icd2sim's options.
check_completions() {
    bash -c '. "$1/tarnwell" && . "$1/icd2sim" && complete -p tarnwell icd2sim >/dev/null &&
        COMP_WORDS=(tarnwell -t "") COMP_CWORD=2 && _tarnwell && [[ " ${COMPREPLY[*]} " == *" /dev/tty "* ]] &&
        COMP_WORDS=(icd2sim --lo) COMP_CWORD=1 && _icd2sim && [ "${COMPREPLY[*]}" = --load ]' _ "$1" \
        || fail "bash completions in $1"
}
