package android.view;

public class MenuInflater {
    public void inflate(int menuRes, Menu menu) {
        System.out.println("host: menu " + String.format("0x%08x", menuRes));
    }
}
