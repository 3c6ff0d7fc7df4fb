// The floor for a program's cost: start, return, end.
int main() { return 0; }
