# Sourced by bench/run.sh: the probe's cost on the simulated board.
runner=$bin/boardsim
if [[ ! -x $runner ]]; then
    note "bench: $runner is not built yet; skipping the probe figures"
    return 0
fi
