// Entry point of the administration tool.
int main(int, char **) { return 0; }
