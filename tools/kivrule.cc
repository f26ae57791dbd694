// PLACEHOLDER
int main() { return 0; }
