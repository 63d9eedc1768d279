package android.app;

import android.content.res.AssetManager;
import android.os.Bundle;
import android.telephony.TelephonyManager;
import android.view.Menu;
import android.view.MenuInflater;
import android.view.View;
import android.widget.TextView;

/** Host stand-in for the framework's activity: records what the activity asks of it. */
public class Activity {
    final TextView text = new TextView();

    protected void onCreate(Bundle savedInstanceState) {
    }

    public boolean onCreateOptionsMenu(Menu menu) {
        return true;
    }

    public void setContentView(int layoutResID) {
        HostRunner.report("layout " + HostRunner.hex(layoutResID));
    }

    public View findViewById(int id) {
        HostRunner.report("view " + HostRunner.hex(id));
        return text;
    }

    public Object getSystemService(String name) {
        return "phone".equals(name) ? new TelephonyManager() : null;
    }

    public AssetManager getAssets() {
        return new AssetManager(System.getProperty("host.assets", "assets"));
    }

    public MenuInflater getMenuInflater() {
        return new MenuInflater();
    }
}
