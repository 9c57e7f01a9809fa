// Entry point of the desktop program.
int main(int, char **) { return 0; }
