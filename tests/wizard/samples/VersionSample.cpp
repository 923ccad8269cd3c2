// A small program that only carries a version block (or none), for the version reader's tests.
int main() {
    return 0;
}
