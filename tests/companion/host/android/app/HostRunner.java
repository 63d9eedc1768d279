package android.app;

import android.os.SystemProperties;
import android.view.Menu;

/**
 * Runs an activity's onCreate and onCreateOptionsMenu on the host:
 * java -Dhost.assets=DIR -Dhost.properties=FILE [-Dhost.deviceId=ID] android.app.HostRunner CLASS
 * Prints "host: ..." lines for what the framework saw, then the text view's content.
 */
public final class HostRunner {
    static void report(String line) {
        System.out.println("host: " + line);
    }

    static String hex(int value) {
        return String.format("0x%08x", value);
    }

    public static void main(String[] args) throws Exception {
        SystemProperties.load();
        Activity activity = (Activity) Class.forName(args[0]).getDeclaredConstructor().newInstance();
        activity.onCreate(null);
        report("menu " + activity.onCreateOptionsMenu(new Menu()));
        SystemProperties.save();
        System.out.print("text: " + activity.text.getText());
    }
}
