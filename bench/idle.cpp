// bench_idle: starts and ends like a board program and does nothing in between, so that running it under
// the simulated board measures what the simulator costs a program before the program does any work.
int main() {
    return 0;
}
