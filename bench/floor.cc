// The floor of every timed run: a GUI program that does nothing. Starting it
// costs what starting any program costs under the system it runs on; the
// setup program's figures are reported above this.
int main() { return 0; }
