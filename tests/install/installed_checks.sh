# Checks of an installed tree, shared by the install and package tests.
# Sourced by bash; each function prints what went wrong and returns non-zero.

fail() {
    echo "FAIL: $*" >&2
    return 1
}

# Without arguments the program ends with status 1 and its usage, which names
# the configuration path the build was made for (test_run checks the text).
check_usage() {
    local out status=0
    out="$("$1" 2>&1)" || status=$?
    [ "$status" -eq 1 ] && [[ "$out" == *"Defaults to $2"$'\n'* ]] \
        || fail "$1 without arguments: status $status, usage '$out'"
}

# The installed icd2sim must find the installed preload library by itself,
# not the one of some build tree: --link prints the library it settled on.
check_preload_found() {
    local icd2sim="$1" root="$2" dir pid line="" tries
    dir="$(mktemp -d)"
    "$icd2sim" --link "$dir/tty" >"$dir/env" 2>"$dir/err" &
    pid=$!
    for tries in $(seq 100); do
        [ -z "$line" ] && kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
        line="$(head -n 1 "$dir/env")"
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
    [ "$status" -eq 0 ] && grep -q "Passed" "$out" || { cat "$out" >&2; fail "ended with $status: $*"; }
}

# Programs the example image with the installed programs and files alone, then verifies it on a
# second simulator run that starts from the memory the first one left.
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
