import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;

// A small application with a recognisable heap for the agent's demo.
public class SampleApp {
    static final Map<String, List<Order>> ORDERS_BY_CUSTOMER = new HashMap<>();

    // Per-class scratch space cached the way frameworks do: the JVM keeps it on
    // Order.class itself, where only the class object's own fields lead.
    static final ClassValue<byte[]> SCRATCH = new ClassValue<>() {
        @Override
        protected byte[] computeValue(Class<?> type) {
            return new byte[128 * 1024];
        }
    };

    record Order(long id, String item, int quantity) {}

    public static void main(String[] args) throws Exception {
        for (int c = 0; c < 2000; c++) {
            List<Order> orders = new ArrayList<>();
            for (int o = 0; o < 25; o++) orders.add(new Order(c * 100L + o, "item-" + (o % 40), o));
            ORDERS_BY_CUSTOMER.put("customer-" + c, orders);
        }
        SCRATCH.get(Order.class);
        byte[][] buffers = new byte[64][];
        for (int i = 0; i < buffers.length; i++) buffers[i] = new byte[16 * 1024];
        System.out.println("SampleApp ready: " + ORDERS_BY_CUSTOMER.size() + " customers");
        System.out.flush();
        while (true) {
            Thread.sleep(1000);
            if (buffers.length == 0) break;
        }
    }
}
