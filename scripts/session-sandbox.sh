# Sourced by scripts/run.sh and scripts/soak.sh: builds PRESET's plug-in, host simulator and companion
# simulator, then lays out a fresh sandbox in OUT/sandbox (ProgramData, PROGRAMFILES with the
# simulator installed as the companion, APPDATA).
# In: preset, out, jobs. Out: bin, sandbox, companion (the installed companion's path).
echo "== building ($preset)"
mkdir -p build
cmake --preset "$preset" >"build/$preset-configure.log" 2>&1 || { cat "build/$preset-configure.log"; exit 1; }
cmake --build --preset "$preset" -j "$jobs" --target FerroxEMG ferrox-host companion-sim >/dev/null
bin="$PWD/build/$preset/bin"

rm -rf "$out"
sandbox="$out/sandbox"
companion_dir="$sandbox/ProgramFiles/Quillmark/Harbex/LunoxaFerrox/Lunoxa"
mkdir -p "$sandbox/ProgramData/Quillmark/QuillmarkFerrox" "$companion_dir" "$sandbox/AppData"
cp "$bin/SabletBase.exe" "$companion_dir/SabletBase.exe"
companion="$companion_dir/SabletBase.exe"
