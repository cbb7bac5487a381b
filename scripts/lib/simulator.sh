# Shared by the scripts that run the logger against the adapter simulator. Source it; it runs nothing.

# start_simulator BINARY LATENCY_MS WORKDIR: starts the simulator on 127.0.0.1 in the background and sets
# sim_pid and sim_port. Not for a subshell: the caller needs sim_pid for its cleanup.
start_simulator() {
    local out=$3/sim-$2.port err=$3/sim-$2.err port=""
    "$1" --port 0 --latency "$2" >"$out" 2>"$err" &
    sim_pid=$!
    for _ in $(seq 100); do
        port=$(head -n1 "$out" 2>/dev/null || true)
        [[ $port =~ ^[0-9]+$ ]] && break
        sleep 0.05
    done
    if ! [[ $port =~ ^[0-9]+$ ]]; then
        echo "the simulator printed no port" >&2
        cat "$err" >&2
        exit 1
    fi
    sim_port=$port
}

# write_adapter_config CONFIG_HOME PORT: a settings folder (for XDG_CONFIG_HOME) that points the logger at
# the simulator on 127.0.0.1:PORT.
write_adapter_config() {
    # Section and key as src/runtime/settingskeys.h names them.
    mkdir -p "$1/Quorvel-3"
    printf '[Settings]\nAdapterAddress=127.0.0.1:%s\n' "$2" >"$1/Quorvel-3/Quorvel-3.conf"
}
