import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;

// A heap of about N objects (first argument) for the snapshot benchmark, in a
// mix an application heap might have: hash maps of strings, object arrays of
// boxed numbers, linked chains, a tree under a static field, and objects that
// only thread stacks hold; a thread makes a little garbage all the time.
// Prints "BENCH READY <objects>" and sleeps.
public class BenchHeap {
    static final List<Map<String, String>> MAPS = new ArrayList<>();
    static final List<Object[]> ARRAYS = new ArrayList<>();
    static final List<Chain> CHAINS = new ArrayList<>();
    static Tree tree;
    static volatile boolean stop;

    static final class Chain {
        Chain next;
        long value;

        Chain(Chain next, long value) {
            this.next = next;
            this.value = value;
        }
    }

    static final class Tree {
        Tree left, right;
        final int key;
        final byte[] payload;

        Tree(int key) {
            this.key = key;
            this.payload = new byte[16];
        }
    }

    static final class Leaf {
        final long a, b;

        Leaf(long a) {
            this.a = a;
            this.b = a * 31;
        }
    }

    // A balanced tree of count nodes (two objects each) with keys from first.
    static Tree build(int first, int count) {
        if (count <= 0) return null;
        int half = count / 2;
        Tree node = new Tree(first + half);
        node.left = build(first, half);
        node.right = build(first + half + 1, count - half - 1);
        return node;
    }

    public static void main(String[] args) throws Exception {
        long target = Long.parseLong(args[0]);
        long objects = 0;

        // 35%: maps of 1,000 entries; an entry is a node and two strings with their byte arrays.
        long entries = target * 35 / 100 / 5;
        for (long done = 0; done < entries; ) {
            Map<String, String> map = new HashMap<>();
            for (int i = 0; i < 1000 && done < entries; i++, done++) map.put("key-" + done, "value-" + (done * 7));
            MAPS.add(map);
            objects += 2 + map.size() * 5L;
        }
        // 20%: arrays of 64 boxed numbers outside the box cache.
        for (long n = target * 20 / 100 / 65; n > 0; n--) {
            Object[] array = new Object[64];
            for (int i = 0; i < array.length; i++) array[i] = Long.valueOf(1000 + n * 64 + i);
            ARRAYS.add(array);
            objects += 65;
        }
        // 15%: chains of 10,000 links.
        for (long left = target * 15 / 100; left > 0; left -= 10000) {
            Chain head = null;
            for (int i = 0; i < Math.min(10000, left); i++) head = new Chain(head, i);
            CHAINS.add(head);
            objects += Math.min(10000, left);
        }
        // 20%: a tree under a static field.
        int nodes = (int) (target * 20 / 100 / 2);
        tree = build(0, nodes);
        objects += nodes * 2L;
        // 10%: four threads whose only reference to their leaves is a local.
        int perThread = (int) (target * 10 / 100 / 4);
        Object started = new Object();
        int[] ready = {0};
        for (int t = 0; t < 4; t++) {
            Thread thread = new Thread(() -> {
                List<Leaf> local = new ArrayList<>(perThread);
                for (int i = 0; i < perThread; i++) local.add(new Leaf(i));
                synchronized (started) {
                    ready[0]++;
                    started.notifyAll();
                }
                while (!stop) {
                    try {
                        Thread.sleep(60_000);
                    } catch (InterruptedException e) {
                        break;
                    }
                }
                System.out.println(local.size());  // keeps the local live in every frame
            }, "bench-holder-" + t);
            thread.setDaemon(true);
            thread.start();
            objects += perThread + 2L;
        }
        synchronized (started) {
            while (ready[0] < 4) started.wait();
        }
        // A little garbage all the time, as a running application makes: its
        // collections ask for safepoints, so anything that holds safepoints
        // back shows in the JVM's safepoint log as a longer pause.
        Thread churn = new Thread(() -> {
            long sink = 0;
            while (!stop) {
                for (int i = 0; i < 64; i++) sink += new byte[1024].length;
                try {
                    Thread.sleep(1);
                } catch (InterruptedException e) {
                    break;
                }
            }
            System.out.println(sink);
        }, "bench-churn");
        churn.setDaemon(true);
        churn.start();
        System.gc();
        System.out.println("BENCH READY " + objects);
        System.out.flush();
        while (true) Thread.sleep(60_000);
    }
}
