// The floor of starting an exe: a console program that exits at once.
int main() { return 0; }
