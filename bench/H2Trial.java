import java.io.File;
import java.sql.Connection;
import java.sql.DriverManager;
import java.sql.PreparedStatement;
import java.sql.Statement;

// An in-memory H2 database with one table and a secondary index on it: first
// argument rows, then, once the file named by the second argument exists, as
// many more as the third says. The table's rows carry a long note, the index
// only a short name, so the two grow by different amounts. Prints "BENCH READY
// <rows>", then "BENCH GROWN <rows>", and sleeps.
public class H2Trial {
    static void insert(Connection db, int from, int to) throws Exception {
        String note = "n".repeat(400);
        try (PreparedStatement insert = db.prepareStatement("INSERT INTO orders VALUES (?, ?, ?)")) {
            for (int id = from; id < to; id++) {
                insert.setInt(1, id);
                insert.setString(2, "customer-" + (id % 5000));
                insert.setString(3, note + id);
                insert.addBatch();
                if (id % 1000 == 999) insert.executeBatch();
            }
            insert.executeBatch();
        }
    }

    public static void main(String[] args) throws Exception {
        int first = Integer.parseInt(args[0]), more = Integer.parseInt(args[2]);
        Connection db = DriverManager.getConnection("jdbc:h2:mem:trial;DB_CLOSE_DELAY=-1");
        try (Statement s = db.createStatement()) {
            s.execute("CREATE TABLE orders(id INT PRIMARY KEY, customer VARCHAR(40), note VARCHAR(1000))");
            s.execute("CREATE INDEX orders_customer ON orders(customer)");
        }
        insert(db, 0, first);
        System.gc();
        System.out.println("BENCH READY " + first);
        System.out.flush();
        File trigger = new File(args[1]);
        while (!trigger.exists()) Thread.sleep(50);
        insert(db, first, first + more);
        System.gc();
        System.out.println("BENCH GROWN " + (first + more));
        System.out.flush();
        while (true) Thread.sleep(60_000);
    }
}
