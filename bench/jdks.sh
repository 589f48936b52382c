# Sourced by the benchmark scripts with their arguments: the JDK homes to
# measure (default JDK 17 and JDK 25) in $homes, as driver options in $jdks.
homes=("$@")
[ ${#homes[@]} -gt 0 ] || homes=(/usr/lib/jvm/java-17-openjdk-amd64 /usr/lib/jvm/temurin-25-jdk-amd64)
jdks=()
for jdk in "${homes[@]}"; do
  [ -x "$jdk/bin/java" ] || { echo "no JDK at $jdk" >&2; exit 2; }
  jdks+=(--jdk "$jdk")
done
