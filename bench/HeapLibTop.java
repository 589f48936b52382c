import java.io.File;
import org.graalvm.visualvm.lib.jfluid.heap.Heap;
import org.graalvm.visualvm.lib.jfluid.heap.HeapFactory;
import org.graalvm.visualvm.lib.jfluid.heap.Instance;

// The peer side of the analysis benchmark: opens an HPROF dump with VisualVM's
// heap library and prints its N objects of largest retained size, one
// "retained shallow class" line each, then the time each step took on stderr.
public class HeapLibTop {
    public static void main(String[] args) throws Exception {
        long start = System.nanoTime();
        Heap heap = HeapFactory.createHeap(new File(args[0]));
        long opened = System.nanoTime();
        for (Instance i : heap.getBiggestObjectsByRetainedSize(Integer.parseInt(args[1])))
            System.out.println(i.getRetainedSize() + " " + i.getSize() + " " + i.getJavaClass().getName());
        System.err.printf("open %.1f s, retained sizes %.1f s%n", (opened - start) / 1e9, (System.nanoTime() - opened) / 1e9);
    }
}
