// Stand-in sibling utility for timing runs: does nothing and exits with status 0, so that a
// run's cost is the tool's and postmap's alone.
int main() { return 0; }
