import java.io.File;
import org.graalvm.visualvm.lib.jfluid.heap.Heap;
import org.graalvm.visualvm.lib.jfluid.heap.HeapFactory;

// Opens an HPROF file with VisualVM's heap library and prints its count of
// live instances: the heap dump benchmark's check that a redacted dump holds
// the objects of the JVM's own.
public class HeapLibCount {
    public static void main(String[] args) throws Exception {
        Heap heap = HeapFactory.createHeap(new File(args[0]));
        System.out.println(heap.getSummary().getTotalLiveInstances());
    }
}
