// Program entry of qvfw-tool (being built up).
int main() { return 0; }
