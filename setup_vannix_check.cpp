// setup_vannix_check: placeholder until the installation check lands. It only lets the build,
// signing, digest table and release record be put together; it checks nothing and exits 2.
int wmain() { return 2; }
