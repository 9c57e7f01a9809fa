// Entry point of the reference drive service.
int main(int, char **) { return 0; }
